# Everything from a fresh Debian 12 machine: `make demo` and `make test`.
BUILD ?= build
PACKAGES = cmake make g++-mingw-w64-x86-64-posix wine64 wine xvfb xdotool imagemagick googletest \
           wixl msitools osslsigncode openssl libimage-exiftool-perl
WINE_ENV = WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="winedbg.exe=d;mscoree,mshtml=" \
           CUPS_SERVER=/nonexistent/zrl-cups.sock
SUDO = $(shell [ "$$(id -u)" = 0 ] || echo sudo)

# What the demo runs: the installer, the stand-in components, the state and
# log-dialog tools and the template Wine prefix; not the tests or GoogleTest.
DEMO_TARGETS = zrlsetup zrlmon64 zrldrv64 zrlui64 zantray state_dump log_reader wine_template
# The product laid out as it ships, for the demo.
STAGE_DEMO = rm -rf $(BUILD)/demo && cmake --install $(BUILD) --prefix $(BUILD)/demo/product >/dev/null

.PHONY: all deps build build-release package stage demo test bench chaos clean format

all: build

deps:
	@missing=$$(for p in $(PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing:" $$missing; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi

$(BUILD)/CMakeCache.txt:
	cmake --preset mingw -B $(BUILD)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j2

# Everything once more as a Release build, which the preset's MinSizeRel is
# not: GCC's warnings differ with the optimisation, and -Werror makes each one
# an error. CI builds it after the tests; it runs nothing and needs no prefix.
RELEASE_BUILD ?= build-release
build-release: deps
	cmake -S . -B $(RELEASE_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	      -DCMAKE_BUILD_TYPE=Release -DZRL_WINE_TEMPLATE=OFF >/dev/null
	cmake --build $(RELEASE_BUILD) -j2

# The maker's code-signing certificate, as make or environment variables:
#   make package ZRL_SIGN_PKCS12=cert.p12 ZRL_SIGN_PASSWORD_FILE=pass.txt [ZRL_SIGN_TIMESTAMP_URL=url]
# The build tree keeps them until they are given again (empty: a test certificate).
SIGN_FILES = $(foreach v,ZRL_SIGN_PKCS12 ZRL_SIGN_PASSWORD_FILE,$(if $(filter-out undefined,$(origin $(v))),"-D$(v)=$(abspath $($(v)))"))
SIGN_URL = $(if $(filter-out undefined,$(origin ZRL_SIGN_TIMESTAMP_URL)),"-DZRL_SIGN_TIMESTAMP_URL=$(ZRL_SIGN_TIMESTAMP_URL)")

# Configured again first: a target that is new to the tree is unknown until then.
package: deps $(BUILD)/CMakeCache.txt
	cmake $(BUILD) $(SIGN_FILES) $(SIGN_URL) >/dev/null && cmake --build $(BUILD) -j2 --target msi_package

stage: build
	$(STAGE_DEMO)

demo: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j2 --target $(DEMO_TARGETS)
	$(STAGE_DEMO)
	@tools/demo.sh $(BUILD)

test: build
	cd $(BUILD) && ctest --output-on-failure --timeout 300

bench: build
	bench/run.sh $(BUILD)

# Reinstalls under random faults, each followed by a clean one: SEEDS of them.
SEEDS ?= 1000
chaos: build
	tests/chaos/run.sh $(BUILD) $(SEEDS)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(RELEASE_BUILD)
