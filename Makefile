# make: set up, build both architectures into dist/ and dist/x64/, sign them when the environment
# asks for it (BRAVIK_SIGN_..., see scripts/sign.sh) and write dist/SHA256SUMS.
# make demo: set up, build both architectures and run install.exe under Wine on the sample media.
# make test: set up, build both architectures and run every lane's tests.
LANES := x86 x64

.PHONY: all setup build demo test clean

all: build

# make test asks set-up to start the guest image build too, and its own make of build sets
# setup_done, so that set-up runs, and says what it says, once.
setup:
	@$(if $(setup_done),:,./scripts/setup.sh $(if $(filter test,$(MAKECMDGOALS)),--test))

# Both architectures, then the signature when the environment names a key (scripts/sign.sh), then
# the checksums of what ships. With a key, install.exe is built with its certificate and requires
# media signed with it (scripts/publisher-certificate.sh). The old checksums go first: a build or signing that fails leaves
# none beside files they no longer describe.
build: setup
	@rm -f dist/SHA256SUMS
	@./scripts/check-build-trees.sh $(LANES)
	@certificate=$$(./scripts/publisher-certificate.sh build/publisher.der) || exit 1; \
	for lane in $(LANES); do \
	    cmake --preset $$lane -DBRAVIK_PUBLISHER_CERTIFICATE="$$certificate" >/dev/null && \
	        cmake --build --preset $$lane || exit 1; \
	done
	@./scripts/sign.sh dist
	@./scripts/checksums.sh dist
	@./scripts/sizes.sh

demo: build
	@./scripts/demo.sh

# One ctest run over both build trees, so that the lanes share the two cores and one summary.
# Where the x86 lane runs in the emulated guest, set-up starts its image build in the background
# as soon as the guest's tools are installed, beside the compilers; x86.guest waits for it.
test: setup
	@$(MAKE) --no-print-directory build setup_done=1
	@printf 'subdirs("x86" "x64")\n' >build/CTestTestfile.cmake
	@./scripts/lanes.sh build/x86 build/x64
	@ctest --test-dir build --output-on-failure -j2 --timeout 900

clean:
	rm -rf build dist
