# Two entry points for a fresh Debian 12 machine:
#   make demo  - install what the demo needs, build the default preset,
#                boot keepstone-init on the simulated sample device and show
#                what each boot did (make demo V=1: every trace line too)
#   make test  - install everything (also the armhf toolchain and qemu),
#                build the default, asan and armhf presets and run all their
#                tests
PRESETS := default asan armhf
JOBS ?= $(shell nproc)
V ?= 0

.PHONY: all deps deps-demo build demo test $(addprefix test-,$(PRESETS)) $(addprefix build-,$(PRESETS)) fuzz bench clean

all: build

# The demo needs the default preset's packages only; the other presets
# need everything.
deps-demo:
	@bash scripts/install-deps.sh demo

deps:
	@bash scripts/install-deps.sh all

build-default: deps-demo
$(addprefix build-,$(filter-out default,$(PRESETS))): deps

$(addprefix build-,$(PRESETS)): build-%:
	cmake --preset $* >/dev/null
	cmake --build --preset $* -j $(JOBS)

build: build-default

$(addprefix test-,$(PRESETS)): test-%: build-%
	ctest --preset $* -j $(JOBS)

test: deps
	@bash scripts/run-tests.sh $(PRESETS)

demo: build-default
	@KS_DEMO_VERBOSE=$(V) bash scripts/demo.sh build/default

fuzz: deps
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS)

bench: build-default
	@# Inside the sandbox: the boot's code under measure reaches fixed paths.
	for b in $(CURDIR)/build/default/bench/*_bench; do echo "== $$b"; build/default/sim/ks-sandbox -- $$b || exit 1; done
	@# Whole boots: each in a sandbox of its own, started from here.
	bash bench/boot_bench.sh build/default

clean:
	rm -rf build
