# Two entry points for a new user; both build with the CMake presets.
#   make demo   builds the library and dvrtool only (preset "demo", in build-demo/), then
#               records, plays back, checks and exports
#   make test   builds everything (library, tool, tests, benchmarks, soak; preset "default",
#               in build/) and runs the whole test suite: ctest --preset default
# DEMO_DIR moves the demo's build directory; DEMO_ARGS are passed to `dvrtool demo`
# (--keep keeps its recording, which a passing run removes).
# CMAKE_BUILD_PARALLEL_LEVEL=N in the environment limits the compile jobs.
DEMO_DIR ?= build-demo
DEMO_ARGS ?=

.PHONY: all build demo test clean

all: build

build:
	cmake --preset default
	cmake --build --preset default

demo:
	cmake --preset demo -B $(DEMO_DIR)
	cmake --build $(DEMO_DIR)
	$(DEMO_DIR)/dvrtool demo $(DEMO_ARGS)

test: build
	ctest --preset default

clean:
	rm -rf build build-demo
