# The README's commands. Each sets up what is missing first.
NATIVE_PRESETS := linux linux-asan linux-yyjson-0.10 linux-asan-yyjson-0.10
CROSS_PRESET := windows-cross
CROSS_DIR := build/$(CROSS_PRESET)
WINE_ENV := WINEPREFIX=$(CURDIR)/$(CROSS_DIR)/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=

FUZZ_SECONDS ?= 600

.PHONY: all deps test demo serve bench fuzz clean

all: test

deps:
	bash scripts/install-deps.sh

# Native unit and sampling tests, the same under the sanitizers, 20 s of each fuzz target (side
# by side), then the real DLL under Wine.
test: deps
	@set -e; for p in $(NATIVE_PRESETS); do \
	  echo "== $$p"; \
	  cmake --preset $$p; \
	  cmake --build --preset $$p; \
	  ctest --preset $$p; \
	done
	@echo "== fuzz"
	cmake --preset fuzz -DWINPERF_FUZZ_SECONDS=20
	cmake --build --preset fuzz
	ctest --preset fuzz
	@echo "== $(CROSS_PRESET)"
	cmake --preset $(CROSS_PRESET)
	cmake --build --preset $(CROSS_PRESET)
	ctest --preset $(CROSS_PRESET)

# Cross-builds the DLL and the sample host, then samples this machine for a second under Wine.
demo: deps
	cmake --preset $(CROSS_PRESET) >/dev/null
	cmake --build --preset $(CROSS_PRESET) --target winperf-sample
	@$(WINE_ENV) wine wineboot --init >/dev/null 2>&1
	@$(WINE_ENV) wine $(CROSS_DIR)/bin/winperf-sample.exe --interval 1

# Serves this machine's metrics under Wine on 127.0.0.1:10182 until Ctrl+C.
serve: deps
	cmake --preset $(CROSS_PRESET) >/dev/null
	cmake --build --preset $(CROSS_PRESET) --target winperf-exporter
	@$(WINE_ENV) wine wineboot --init >/dev/null 2>&1
	$(WINE_ENV) wine $(CROSS_DIR)/bin/winperf-exporter.exe --web.listen-address=127.0.0.1:10182

# Benchmarks with their ratios, measured in one run; repetitions interleaved at random so that a
# busy moment of the machine does not fall on one benchmark only. Then the exporter under Wine:
# its CPU time over a minute with nobody scraping, per scrape, what textfiles add to a scrape,
# what the status page costs beside a scrape, and what TLS and basic auth add.
bench: deps
	cmake --preset linux >/dev/null
	cmake --build --preset linux --target winperf_bench
	build/linux/bench/winperf_bench --benchmark_repetitions=9 \
	  --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true
	cmake --preset $(CROSS_PRESET) >/dev/null
	cmake --build --preset $(CROSS_PRESET) --target winperf-exporter winperf-sample
	@$(WINE_ENV) wine wineboot --init >/dev/null 2>&1
	$(WINE_ENV) python3 tests/e2e/exporter_test.py idle --launcher=wine --bin $(CROSS_DIR)/bin \
	  --promtool promtool --seconds 60 --idle-limit 0.2 --with-wineserver
	$(WINE_ENV) python3 tests/e2e/exporter_test.py textfile_cost --launcher=wine --bin $(CROSS_DIR)/bin \
	  --promtool promtool
	$(WINE_ENV) python3 tests/e2e/exporter_test.py status_page_cost --launcher=wine --bin $(CROSS_DIR)/bin
	$(WINE_ENV) python3 tests/e2e/web_config_test.py tls_cost --launcher=wine --bin $(CROSS_DIR)/bin \
	  --promtool promtool --certs tests/certs/make_test_certs.sh

# Fuzzes the sampling layer and the exporter's parsers (settings, textfiles, web configuration)
# for FUZZ_SECONDS each, side by side; new inputs land in build/fuzz/fuzz_*-corpus.
fuzz: deps
	cmake --preset fuzz -DWINPERF_FUZZ_SECONDS=$(FUZZ_SECONDS) >/dev/null
	cmake --build --preset fuzz
	ctest --preset fuzz
	@echo "new inputs: build/fuzz/fuzz_*-corpus (merge into tests/fuzz/*corpus with -merge=1)"

clean:
	rm -rf build
