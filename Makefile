# Two entry points for a new user; both build with the CMake presets.
#   make demo   builds the library and dvrtool, then records, plays back, checks and exports
#   make test   builds everything and runs the whole test suite (ctest --preset default)
.PHONY: all build demo test clean

all: build

build:
	cmake --preset default
	cmake --build --preset default

demo: build
	./build/dvrtool demo

test: build
	ctest --preset default

clean:
	rm -rf build
