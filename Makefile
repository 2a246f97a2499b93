# Entry points: `make demo` runs the tour, `make test` runs the test suite, `make playground`
# serves the browser playground. Each installs what is missing and builds first, so each works
# on a fresh machine.
PY      := /usr/bin/python3
BUILD   := build
ASAN    := build-asan
FUZZ    := build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := from_wire on_message diagnostics
PYTEST  := PYTHONPATH=. $(PY) -m pytest -p no:cacheprovider
CONFIG  := -G Ninja -DPython_EXECUTABLE=$(PY) -DCMAKE_BUILD_TYPE=Release \
           $(if $(CI),-DQUORVEL_WERROR=ON)

NODE_MODULES := playground/node_modules/.package-lock.json

.PHONY: deps build test demo playground bench asan fuzz format lint clean

deps:
	@bash scripts/deps.sh

build: deps
	@cmake -S . -B $(BUILD) $(CONFIG) >/dev/null
	@cmake --build $(BUILD)
	@cmake --install $(BUILD) --prefix "$(CURDIR)" >/dev/null

# The editor and the browser driver, from the pinned lock file; again only when it changes.
$(NODE_MODULES): playground/package-lock.json | deps
	cd playground && npm ci --no-audit --no-fund
	@touch $@

test: build $(NODE_MODULES)
	$(PYTEST) -q tests
	node --test playground/tests/

demo: build
	@PYTHONPATH=. $(PY) -m demo

# Serves the playground on 127.0.0.1 (PLAYGROUND_PORT, default 8765) until interrupted.
playground: build $(NODE_MODULES)
	@PYTHONPATH=. $(PY) -m playground

bench: build
	PYTHONPATH=. $(PY) -m bench

# The suite under AddressSanitizer and UBSan; the release modules go back in the tree after.
asan: build
	@cmake -S . -B $(ASAN) $(CONFIG) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEL_SANITIZE=ON >/dev/null
	@cmake --build $(ASAN)
	@cmake --install $(ASAN) --prefix "$(CURDIR)" >/dev/null
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:halt_on_error=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	PYTHONMALLOC=malloc $(PYTEST) -q -m "not no_asan" tests; \
	status=$$?; cmake --install $(BUILD) --prefix "$(CURDIR)" >/dev/null; exit $$status

# libFuzzer targets, built with clang apart from the normal build; FUZZ_SECONDS each.
fuzz: deps
	@cmake -S fuzz -B $(FUZZ) -G Ninja -DPython_EXECUTABLE=$(PY) >/dev/null
	@cmake --build $(FUZZ)
	@for target in $(FUZZ_TARGETS); do \
	  mkdir -p fuzz/out/$$target && \
	  echo "fuzz: $$target for $(FUZZ_SECONDS) s" && \
	  PYTHONPATH="$(CURDIR)" QUORVEL_FUZZ_MODULES="$(CURDIR)/$(FUZZ)" \
	  ASAN_OPTIONS=detect_leaks=0:halt_on_error=1 \
	  $(FUZZ)/fuzz_$$target -max_total_time=$(FUZZ_SECONDS) -timeout=30 -rss_limit_mb=6144 \
	    -print_final_stats=1 -artifact_prefix=fuzz/out/$$target- \
	    fuzz/out/$$target fuzz/corpus/$$target || exit 1; \
	done

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

lint: build
	clang-tidy -p $(BUILD) $$(git ls-files '*.cpp' ':!fuzz')

clean:
	rm -rf $(BUILD) $(ASAN) $(FUZZ) fuzz/out
	find quorvel_master -name '*.so' -delete
