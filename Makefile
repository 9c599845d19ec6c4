# The two set-up commands: `make run` and `make test`. Everything else is CMake.
# These are development builds: warnings are errors in them (a plain CMake build only warns).
BUILD ?= build
CMAKE_FLAGS ?=

.PHONY: all programs run test asan fuzz clean

all: $(BUILD)/build.ninja
	cmake --build $(BUILD)

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DTARNWICK_WERROR=ON $(CMAKE_FLAGS)

# Only the shell and the image maker: `make run` needs neither the tests nor GoogleTest.
programs: $(BUILD)/build.ninja
	cmake --build $(BUILD) --target tarnwick mkimage

run: programs
	$(BUILD)/mkimage --demo $(BUILD)/demo.hfs
	$(BUILD)/tarnwick $(BUILD)/demo.hfs

test: all
	cd $(BUILD) && ctest --output-on-failure --no-tests=error -j2

# Leaks inside the image libraries (libewf's own, on a truncated E01) are theirs: tests/lsan.supp.
asan:
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp $(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DTARNWICK_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug"

# libFuzzer targets and their seed corpora in build-fuzz/fuzz (see README, "Fuzzing").
fuzz:
	cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DTARNWICK_FUZZ=ON -DTARNWICK_WERROR=ON
	cmake --build build-fuzz --target fuzz

clean:
	rm -rf build build-asan build-fuzz
