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

.PHONY: run run-tray screenshots configure-release build-release bench fuzz test build-test deps-test format format-check clean

# Builds a release build and runs the relay in the foreground (Ctrl-C stops it). Extra options
# for `kestrel-relay serve` go in ARGS, e.g. make run ARGS="--port 4000".
run: build-release
	@echo "Starting the relay. To pair a device, run in another terminal:"
	@echo "    $(RELEASE_DIR)/app/relay/kestrel-relay pair"
	$(RELEASE_DIR)/app/relay/kestrel-relay serve $(ARGS)

# The same relay with its tray icon, panel and signature notice (on a desktop session).
run-tray: configure-release
	cmake --build $(RELEASE_DIR) -j $(JOBS) --target kestrel-relay-tray
	$(RELEASE_DIR)/app/tray/kestrel-relay-tray $(ARGS)

# The tray's panel in each state and the signature notice, rendered to PNG files.
screenshots: configure-release
	cmake --build $(RELEASE_DIR) -j $(JOBS) --target kestrel-tray-screenshots
	$(RELEASE_DIR)/app/tray/kestrel-tray-screenshots $(RELEASE_DIR)/screenshots

# The benchmarks, in the release build: the offline code search and the flood of a relay.
bench: build-release
	$(RELEASE_DIR)/bench/pairing_code_search --threads $(JOBS)
	$(RELEASE_DIR)/bench/relay_flood

# libFuzzer targets (clang), each run for FUZZ_SECONDS (default 60); make test replays their
# committed corpora.
FUZZ_SECONDS ?= 60
fuzz:
	scripts/fuzz.sh $(FUZZ_SECONDS)

configure-release:
	scripts/install-deps.sh build
	cmake -S . -B $(RELEASE_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTREL_BUILD_TESTS=OFF

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
