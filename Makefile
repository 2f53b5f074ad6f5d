# The two commands a newcomer needs: `make test` (and, with the relay, `make run`).
# Each installs the Debian packages it is missing, configures and builds.

SANITIZE_DIR := build/sanitize
TSAN_DIR     := build/tsan
RELEASE_DIR  := build/release
JOBS         ?= $(shell nproc)
# CI sets CI=true: warnings become errors and the formatting is checked.
ifeq ($(CI),true)
  WERROR := ON
else
  WERROR := OFF
endif

.PHONY: run install package run-tray screenshots configure-release build-release bench bench-attacks fuzz test build-test deps-test format format-check clean

# Builds the programs (release) and runs the relay in the foreground (Ctrl-C stops it). Extra
# options for `kestrel-relay serve` go in ARGS, e.g. make run ARGS="--port 4000".
run: configure-release
	cmake --build $(RELEASE_DIR) -j $(JOBS) --target kestrel-relay kestrel-agent
	@echo "Starting the relay. To pair a device, run in another terminal:"
	@echo "    $(RELEASE_DIR)/app/relay/kestrel-relay pair"
	$(RELEASE_DIR)/app/relay/kestrel-relay serve $(ARGS)

# Installs the programs, man pages, bash completion, the systemd user unit and the desktop entry
# under PREFIX: ~/.local for a user (~/.local/bin is on PATH in Debian's default profile), or
# /usr/local as root.
ifeq ($(shell id -u),0)
  PREFIX ?= /usr/local
else
  PREFIX ?= $(HOME)/.local
endif
PROGRAMS := kestrel-relay kestrel-agent kestrel-relay-tray kestrel_man_pages
install: configure-release
	cmake --build $(RELEASE_DIR) -j $(JOBS) --target $(PROGRAMS)
	cmake --install $(RELEASE_DIR) --prefix $(PREFIX)

# A Debian package of the same files under /usr, in build/package: apt install ./build/package/kestrel-relay_*.deb
PACKAGE_DIR := build/package
package:
	scripts/install-deps.sh build
	cmake -S . -B $(PACKAGE_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTREL_BUILD_TESTS=OFF \
	  -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON
	cmake --build $(PACKAGE_DIR) -j $(JOBS) --target $(PROGRAMS)
	cd $(PACKAGE_DIR) && cpack
	@ls $(PACKAGE_DIR)/*.deb

# The same relay with its tray icon, panel and signature notice (on a desktop session).
run-tray: configure-release
	cmake --build $(RELEASE_DIR) -j $(JOBS) --target kestrel-relay-tray
	$(RELEASE_DIR)/app/tray/kestrel-relay-tray $(ARGS)

# The tray's panel in each state and the signature notice, rendered to PNG files.
screenshots: configure-release
	cmake --build $(RELEASE_DIR) -j $(JOBS) --target kestrel-tray-screenshots
	$(RELEASE_DIR)/app/tray/kestrel-tray-screenshots $(RELEASE_DIR)/screenshots

# The relay's speed and memory against the agent it serves, with the protocol's own costs, as one
# table (about two minutes), in the release build.
bench:
	scripts/install-deps.sh bench
	$(MAKE) build-release
	$(RELEASE_DIR)/bench/kestrel-relay-bench

# What an attacker on the network can do: the offline search of a pairing code, and a flood of
# connections against a relay that a paired device keeps using.
bench-attacks: build-release
	$(RELEASE_DIR)/bench/pairing_code_search --threads $(JOBS)
	$(RELEASE_DIR)/bench/relay_flood

# libFuzzer targets (clang), each run for FUZZ_SECONDS (default 60); make test replays their
# committed corpora.
FUZZ_SECONDS ?= 60
fuzz:
	scripts/fuzz.sh $(FUZZ_SECONDS)

configure-release:
	scripts/install-deps.sh build
	cmake -S . -B $(RELEASE_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTREL_BUILD_TESTS=OFF \
	  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON

build-release: configure-release
	cmake --build $(RELEASE_DIR) -j $(JOBS)

# The ThreadSanitizer run of the relay tests comes first so that ctest's summary ends the output.
test: build-test
	@echo "Relay tests under ThreadSanitizer (the relay thread and the agent worker pool):"
	TSAN_OPTIONS=halt_on_error=1 $(TSAN_DIR)/tests/relay/kestrel_relay_tests --gtest_brief=1
	ctest --test-dir $(SANITIZE_DIR) --output-on-failure -j $(JOBS)

deps-test:
	scripts/install-deps.sh test

build-test: deps-test
ifeq ($(CI),true)
	scripts/check-format.sh
endif
	cmake -S . -B $(SANITIZE_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DKESTREL_SANITIZE=ON -DKESTREL_WERROR=$(WERROR)
	cmake --build $(SANITIZE_DIR) -j $(JOBS)
	cmake -S . -B $(TSAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTREL_TSAN=ON \
	  -DKESTREL_WERROR=$(WERROR)
	cmake --build $(TSAN_DIR) -j $(JOBS) --target kestrel_relay_tests

format:
	scripts/check-format.sh --fix

format-check:
	scripts/check-format.sh

clean:
	rm -rf build
