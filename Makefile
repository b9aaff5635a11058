# The README's commands. Each sets up what is missing first.
NATIVE_PRESETS := linux linux-asan
CROSS_PRESET := windows-cross
CROSS_DIR := build/$(CROSS_PRESET)
WINE_ENV := WINEPREFIX=$(CURDIR)/$(CROSS_DIR)/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=

.PHONY: all deps test demo clean

all: test

deps:
	bash scripts/install-deps.sh

# Native unit and sampling tests, the same under the sanitizers, then the real DLL under Wine.
test: deps
	@set -e; for p in $(NATIVE_PRESETS) $(CROSS_PRESET); do \
	  echo "== $$p"; \
	  cmake --preset $$p; \
	  cmake --build --preset $$p; \
	  ctest --preset $$p; \
	done

# Cross-builds the DLL and the sample host, then samples this machine for a second under Wine.
demo: deps
	cmake --preset $(CROSS_PRESET) >/dev/null
	cmake --build --preset $(CROSS_PRESET) --target winperf-sample
	@$(WINE_ENV) wine wineboot --init >/dev/null 2>&1
	@$(WINE_ENV) wine $(CROSS_DIR)/bin/winperf-sample.exe --interval 1

clean:
	rm -rf build
