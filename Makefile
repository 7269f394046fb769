# Two entry points for a fresh Debian 12 machine:
#   make demo  - install what is missing, build, boot keepstone-init on the
#                simulated sample device and show what it did
#   make test  - install what is missing, build the default, asan and armhf
#                presets and run all their tests
PRESETS := default asan armhf
JOBS ?= $(shell nproc)

.PHONY: all deps build demo test $(addprefix test-,$(PRESETS)) $(addprefix build-,$(PRESETS)) fuzz bench clean

all: build

deps:
	@bash scripts/install-deps.sh

$(addprefix build-,$(PRESETS)): build-%: deps
	cmake --preset $* >/dev/null
	cmake --build --preset $* -j $(JOBS)

build: build-default

$(addprefix test-,$(PRESETS)): test-%: build-%
	ctest --preset $* -j $(JOBS)

test: deps
	@bash scripts/run-tests.sh $(PRESETS)

demo: build-default
	@bash scripts/demo.sh build/default

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
