# The two set-up commands: `make run` and `make test`. Everything else is CMake.
BUILD ?= build
CMAKE_FLAGS ?=

.PHONY: all run test asan clean

all: $(BUILD)/build.ninja
	cmake --build $(BUILD)

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

$(BUILD)/demo.hfs: all
	$(BUILD)/mkimage --demo $@

run: all $(BUILD)/demo.hfs
	$(BUILD)/tarnwick $(BUILD)/demo.hfs

test: all
	cd $(BUILD) && ctest --output-on-failure -j2

asan:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DTARNWICK_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug"

clean:
	rm -rf build build-asan
