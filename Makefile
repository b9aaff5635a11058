# The two commands of the README. Both set up what is missing first.
NATIVE_PRESETS := linux linux-asan

.PHONY: all deps test demo clean

all: test

deps:
	bash scripts/install-deps.sh

# Native tests, then the same under the sanitizers.
test: deps
	@set -e; for p in $(NATIVE_PRESETS); do \
	  cmake --preset $$p; \
	  cmake --build --preset $$p; \
	  ctest --preset $$p; \
	done

clean:
	rm -rf build
