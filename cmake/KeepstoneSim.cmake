# Sandboxed tests: a test program that touches the device's fixed paths
# runs on a simulated device (see sim/ and docs/simulator.md).
set(KS_SANDBOX ${PROJECT_BINARY_DIR}/sim/ks-sandbox)

# ks_sandbox_test(<test> <image dir or "">): registers the test program
# <test> (a target) with ctest so that it runs inside a fresh sandbox whose
# device root is prepared from the image (a path relative to the calling
# directory's sources, or absolute). Under cross-compilation the sandbox
# runs the program through the emulator with the armhf simulator.
function(ks_sandbox_test name image)
  set(args)
  if(image)
    get_filename_component(image_dir "${image}" ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    list(APPEND args --image ${image_dir})
  endif()
  add_test(NAME ${name} COMMAND ${KS_SANDBOX} ${args} -- $<TARGET_FILE:${name}>)
  add_dependencies(${name} ks-sandbox-deps)
endfunction()
