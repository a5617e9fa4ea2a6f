# make demo: set up, build dist/ and run install.exe under Wine on the sample media.
# make test: set up, build and run the whole test suite under Wine.
PRESET := mingw
BUILD := build/mingw

.PHONY: all setup build demo test clean

all: build

setup:
	@./scripts/setup.sh

build: setup
	@cmake --preset $(PRESET) >/dev/null
	@cmake --build --preset $(PRESET)

demo: build
	@./scripts/demo.sh $(BUILD)

test: build
	@ctest --preset $(PRESET)

clean:
	rm -rf build dist
