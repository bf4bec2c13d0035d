# Skerrow: `make run` starts the server, `make test` builds and runs every test.

PACKAGES := cmake g++ ninja-build qt6-base-dev qt6-translations-l10n libgtest-dev libssl-dev openssl \
            python3 curl wget lftp ncftp aria2 rclone xvfb xauth xdotool desktop-file-utils \
            dpkg-dev fakeroot lintian groff-base man-db appstream systemd xdg-user-dirs fail2ban \
            dbus-daemon libglib2.0-bin iproute2 python3-prometheus-client haproxy
# The load the soak runs the suite under.
PACKAGES += stress-ng
# The system journal's library (the headless log under systemd), pkg-config to
# find it, and the journal reader that fail2ban's systemd backend needs.
PACKAGES += libsystemd-dev pkgconf python3-systemd
# Argon2id password hashes.
PACKAGES += libsodium-dev
# Taken without what they recommend (GNOME's disk and phone daemons).
LEAN_PACKAGES := gvfs-backends
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
JOBS ?= $(shell nproc)

.PHONY: all deps build build-asan run test test-normal test-asan test-package test-soak package bench screenshots format clean

all: build

deps:
	@missing=""; for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	lean=""; for p in $(LEAN_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || lean="$$lean $$p"; \
	done; \
	if [ -n "$$missing$$lean" ]; then \
	  echo "Installing:$$missing$$lean"; \
	  $(SUDO) apt-get update -q; \
	fi; \
	if [ -n "$$missing" ]; then \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -q $$missing || exit 1; \
	fi; \
	if [ -n "$$lean" ]; then \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -q --no-install-recommends $$lean || exit 1; \
	fi

build: deps
	@[ -f build/build.ninja ] || cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build -j $(JOBS)

build-asan: deps
	@[ -f build-asan/build.ninja ] || cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSKERROW_SANITIZE=ON
	cmake --build build-asan -j $(JOBS)

# The window when a display is available, else headless.
run: build
	@if [ -n "$$DISPLAY$$WAYLAND_DISPLAY" ]; then ./build/skerrow; else ./build/skerrow --headless; fi

test-normal: build
	cd build && ctest --output-on-failure -j 2

# Sanitized code runs several times slower: every time-out of the suites is
# stretched by one factor (SKERROW_TEST_TIME_FACTOR, 1 elsewhere).
test-asan: build-asan
	cd build-asan && SKERROW_TEST_TIME_FACTOR=$${SKERROW_TEST_TIME_FACTOR:-3} ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j 2 -L 'unit|e2e|ui'

# The Debian package: built, checked, installed on this machine and run from
# the installed files.
package: build
	cd build && cpack -G DEB

test-package: package
	tests/package/check.sh build

test: test-normal test-asan test-package

# Not part of `make test`: five runs of it on a fresh clone while
# stress-ng keeps every core busy, with more processor and disk workers on
# top; prints how many passed.
test-soak: deps
	tests/soak.sh

bench: build
	bench/run.sh

screenshots: build
	tests/ui/screenshots.sh

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build build-asan
