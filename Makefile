# vantorell: an nginx module for server-side A/B experiments.
#
#   make          install build dependencies, fetch nginx, build nginx and the module
#   make run      build, then run nginx in the foreground with the demo in examples/
#   make test     build, then run the unit, integration and valgrind tests
#   make test-all build every supported nginx release, run the unit tests, the
#                 integration tests against each release, the module built apart
#                 for the newest release's binary (custom-check) and the check
#                 against Debian's own nginx package; a release whose sources
#                 are not at hand is named and skipped
#   make NGINX_SRC=/path/to/nginx-x.y.z [NGINX_BIN=/usr/sbin/nginx]
#                 the module alone, against your nginx sources, configured
#                 --with-compat as NGINX_BIN was (nginx -V), into
#                 build/custom-<version>/ (docs/building.md)
#   make fuzz     build the libFuzzer targets of tests/fuzz/ and run each for
#                 FUZZ_SECONDS (default 120); make fuzz-smoke: 30 s each
#   make bench    build, then measure requests/s with wrk (results in build/bench/)
#   make bench-instructions  build, then count the instructions per request
#                 under valgrind's callgrind, scenario by scenario, with their
#                 ratios to module off and the targets met or missed (about a
#                 minute and a half; build/bench/instructions.json);
#                 INSTRUCTIONS_ARGS=--help lists the knobs (--strict fails on a
#                 missed target, --scale measures larger data files and URLs)
#   make test-sanitize  nginx 1.18.0 and the module with ASan and UBSan in
#                 build/sanitize-1.18.0/, and the integration suite against them
#   make soak     build, then a million requests with wrk while the data file
#                 changes every 100 ms and nginx reloads (about a minute)
#   make deb      the Debian packages libnginx-mod-http-vantorell and
#                 vantorell-check for Debian's own nginx, in build/deb/, lintian-clean
#   make deb-check  (root) installs them, takes a visitor through the installed
#                 nginx, reloads, removes and purges, leaving nginx as it was
#   make deb DEBIAN_RELEASE=trixie, make deb-check DEBIAN_RELEASE=trixie
#                 (root) the same for Debian 13, inside Debian 13 roots made
#                 under build/roots/, into build/deb/trixie/
#   make clean    remove build/
#
# NGINX_VERSION picks the release (make NGINX_VERSION=1.30.4 build|integration|run);
# each release builds into build/nginx-<version>/, and build/nginx links to the
# default release's build.  1.18.0, 1.22.1 and 1.26.3 come from Debian's source
# archive; 1.30.4 and 1.31.4 from ../shared/nginx/ (scripts/fetch-nginx.sh).

NGINX_DEFAULT  := 1.18.0
NGINX_VERSIONS := 1.18.0 1.22.1 1.26.3 1.30.4 1.31.4
NGINX_VERSION  ?= $(NGINX_DEFAULT)

BUILD     := $(CURDIR)/build
PREFIX    := $(BUILD)/nginx-$(NGINX_VERSION)
NGINX     := $(PREFIX)/sbin/nginx
MODULE_SO := $(PREFIX)/modules/ngx_http_vantorell_module.so
PYTHON    := /usr/bin/python3
CHECK_BIN := $(BUILD)/bin/vantorell-check

MODULE_FILES := $(wildcard module/*/*.cpp module/*/*.h) module/config module/exports.map

# nginx's configure takes the module's file list from module/config, once: a
# file added or removed must configure again, so the list itself is a
# prerequisite (rewritten only when it changes)
MODULE_LIST := $(BUILD)/module-files
$(shell mkdir -p $(BUILD) && echo '$(sort $(MODULE_FILES))' | cmp -s - $(MODULE_LIST) \
        || echo '$(sort $(MODULE_FILES))' > $(MODULE_LIST))

# The HTTP modules that distribution packages enable, so that the module is
# tried among the modules operators run (auth_request, mirror, SSI, HTTP/2...);
# --with-compat keeps the module signature of stock builds.
NGX_CONFIGURE_ARGS := $(shell grep -v '^\#' scripts/nginx-configure-args)

# what the scripts and the integration tests run: the release NGINX_VERSION names
RUN_ENV := VANTORELL_NGINX=$(NGINX) VANTORELL_MODULE=$(MODULE_SO)

.PHONY: all build release deps run test test-all debian-check unit integration memcheck clean
ifdef NGINX_SRC
all: custom
else
all: build
endif

build: release $(CHECK_BIN) $(if $(filter $(NGINX_DEFAULT),$(NGINX_VERSION)),default-link)

# nginx and the module of NGINX_VERSION alone
release: $(NGINX) $(MODULE_SO)

# build/nginx is where the docs, the demo and the valgrind check find the
# default build; trees from before versioned builds hold a real folder there.
.PHONY: default-link
default-link: $(BUILD)/nginx-$(NGINX_DEFAULT)/sbin/nginx \
              $(BUILD)/nginx-$(NGINX_DEFAULT)/modules/ngx_http_vantorell_module.so
	@[ -L $(BUILD)/nginx ] || { rm -rf $(BUILD)/nginx; ln -s nginx-$(NGINX_DEFAULT) $(BUILD)/nginx; }

deps: $(BUILD)/.deps

$(BUILD)/.deps: scripts/install-deps.sh
	bash scripts/install-deps.sh
	@mkdir -p $(BUILD) && touch $@

# One set of rules for every release; % is the version.  Sources in
# nginx-<v>-src, objects in nginx-<v>-objs, the installed build in nginx-<v>.
.PRECIOUS: $(BUILD)/nginx-%-src/.vantorell-unpacked $(BUILD)/nginx-%-objs/Makefile \
           $(BUILD)/nginx-%-objs/.built

$(BUILD)/nginx-%-src/.vantorell-unpacked: scripts/fetch-nginx.sh | $(BUILD)/.deps
	bash scripts/fetch-nginx.sh $* $(BUILD)
	@touch $@

# A release tarball has ./configure; an archive of nginx's source repository
# has the same script at auto/configure only.
NGX_CONFIGURE := $$(if [ -f configure ]; then echo ./configure; else echo auto/configure; fi)

$(BUILD)/nginx-%-objs/Makefile: $(BUILD)/nginx-%-src/.vantorell-unpacked module/config Makefile \
                               scripts/nginx-configure-args $(MODULE_LIST)
	cd $(BUILD)/nginx-$*-src && $(NGX_CONFIGURE) --prefix=$(BUILD)/nginx-$* \
	  --builddir=$(BUILD)/nginx-$*-objs $(NGX_CONFIGURE_ARGS) --add-dynamic-module=$(CURDIR)/module \
	  > $(BUILD)/configure-$*.log || { tail -n 30 $(BUILD)/configure-$*.log; exit 1; }

$(BUILD)/nginx-%-objs/.built: $(BUILD)/nginx-%-objs/Makefile $(MODULE_FILES)
	$(MAKE) -C $(BUILD)/nginx-$*-src -f $(BUILD)/nginx-$*-objs/Makefile -j2 binary modules
	@touch $@

$(BUILD)/nginx-%/sbin/nginx $(BUILD)/nginx-%/modules/ngx_http_vantorell_module.so: \
    $(BUILD)/nginx-%-objs/.built
	$(MAKE) -C $(BUILD)/nginx-$*-src -f $(BUILD)/nginx-$*-objs/Makefile install > /dev/null
	@touch $(BUILD)/nginx-$*/sbin/nginx $(BUILD)/nginx-$*/modules/ngx_http_vantorell_module.so

# ---- unit tests: the portable core, on its own -------------------------------

UNIT_BIN   := $(BUILD)/unit/vantorell_unit
# the portable core: no nginx in it
CORE_SRCS  := $(wildcard module/core/*.cpp)
CORE_LIBS  := -ljson-c -lcrypto -lpcre2-8
# the unit tests, and the report renderers of vantorell-check, which need
# nothing else of the tool
UNIT_SRCS  := $(wildcard tests/unit/*.cpp) tools/vantorell-check/report.cpp
UNIT_FLAGS := -std=c++17 -g -O1 -Wall -Wextra -Werror -Imodule/core -Itools/vantorell-check

$(UNIT_BIN): $(UNIT_SRCS) $(CORE_SRCS) $(wildcard module/core/*.h tests/unit/*.h) \
             tools/vantorell-check/report.h | $(BUILD)/.deps
	@mkdir -p $(dir $@)
	g++ $(UNIT_FLAGS) -o $@ $(UNIT_SRCS) $(CORE_SRCS) -lgtest -lpthread $(CORE_LIBS)

unit: $(UNIT_BIN)
	$(UNIT_BIN)

# ---- vantorell-check: the command-line tool, from the same core ----------------
# The core's sources as the module has them, and the few sources of nginx
# that parse a request line and a Cookie header as nginx does (with the pool
# and arrays they allocate from), compiled against a configured nginx tree:
# the default release's here.  The Debian package gives NGX_SRC and NGX_OBJS
# of Debian's own nginx sources, configured as Debian's nginx is, with the
# distribution's CPPFLAGS, CFLAGS, CXXFLAGS and LDFLAGS.

NGX_SRC    := $(BUILD)/nginx-$(NGINX_DEFAULT)-src
NGX_OBJS   := $(BUILD)/nginx-$(NGINX_DEFAULT)-objs
# quic and v3: an nginx configured with HTTP/3, as Debian 13's is, includes
# their headers from its core and HTTP headers (older releases have neither
# folder, and a missing one is no fault)
NGX_INCS   := -I$(NGX_SRC)/src/core -I$(NGX_SRC)/src/event -I$(NGX_SRC)/src/event/modules \
              -I$(NGX_SRC)/src/event/quic -I$(NGX_SRC)/src/os/unix -I$(NGX_OBJS) \
              -I$(NGX_SRC)/src/http -I$(NGX_SRC)/src/http/modules -I$(NGX_SRC)/src/http/v2 \
              -I$(NGX_SRC)/src/http/v3
NGX_PARSE_SRCS := src/http/ngx_http_parse.c src/core/ngx_string.c src/core/ngx_palloc.c \
                  src/core/ngx_array.c src/os/unix/ngx_alloc.c

CHECK_SRCS  := $(wildcard tools/vantorell-check/*.cpp)
CHECK_FLAGS := -std=c++17 -O2 -g -Wall -Wextra -Werror -Imodule/core -Imodule/nginx -Itools/vantorell-check $(NGX_INCS)
CHECK_NGX   := $(BUILD)/check-ngx
CHECK_NGX_OBJS := $(addprefix $(CHECK_NGX)/,$(notdir $(NGX_PARSE_SRCS:.c=.o))) \
                  $(CHECK_NGX)/nginx_runtime.o

# configured (ngx_auto_config.h) is all the tool needs of the nginx tree
$(CHECK_NGX)/%.o: $(NGX_OBJS)/Makefile tools/vantorell-check/nginx_runtime.c
	@mkdir -p $(dir $@)
	gcc -c -O2 -g $(CPPFLAGS) $(CFLAGS) $(NGX_INCS) -o $@ \
	  $(if $(filter nginx_runtime,$*),tools/vantorell-check/nginx_runtime.c,$(NGX_SRC)/$(filter %/$*.c,$(NGX_PARSE_SRCS)))

$(CHECK_BIN): $(CHECK_SRCS) $(CORE_SRCS) $(wildcard module/core/*.h tools/vantorell-check/*.h) $(CHECK_NGX_OBJS)
	@mkdir -p $(dir $@)
	g++ $(CHECK_FLAGS) $(CPPFLAGS) $(CXXFLAGS) $(LDFLAGS) -o $@ $(CHECK_SRCS) $(CORE_SRCS) \
	  $(CHECK_NGX_OBJS) $(CORE_LIBS)

.SECONDARY: $(CHECK_NGX_OBJS)
.PHONY: check-tool
check-tool: $(CHECK_BIN)

# ---- fuzzing: libFuzzer targets over the portable core (tests/fuzz/) ---------
# Each target is clang's libFuzzer with ASan and UBSan, and the core built in.
# None of them needs nginx.  make fuzz runs each target FUZZ_SECONDS; make fuzz-smoke runs
# each 30 s (both first replay tests/fuzz/regressions/<target>/ when a finding
# was kept there).

FUZZ           := $(BUILD)/fuzz
FUZZ_TARGETS   := data_file cookie outcome_text
FUZZ_SECONDS   ?= 120
FUZZ_SAN       := -g -O1 -fsanitize=address,undefined -fno-sanitize-recover=undefined
FUZZ_INCS      := -Imodule/core -Itests/unit -Itools/vantorell-check
FUZZ_CORE_OBJS := $(addprefix $(FUZZ)/core/,$(notdir $(CORE_SRCS:.cpp=.o)))
FUZZ_BINS      := $(addprefix $(FUZZ)/fuzz_,$(FUZZ_TARGETS))
# the data file target drives vantorell-check's lint as well
FUZZ_TOOL_OBJS := $(FUZZ)/tool/lint.o $(FUZZ)/tool/common.o $(FUZZ)/tool/report.o

# clang and its libFuzzer runtime: needed here only
$(FUZZ)/.deps: scripts/install-deps.sh
	bash scripts/install-deps.sh clang-14 libclang-rt-14-dev
	@mkdir -p $(FUZZ) && touch $@

$(FUZZ)/core/%.o: module/core/%.cpp $(wildcard module/core/*.h) | $(FUZZ)/.deps
	@mkdir -p $(dir $@)
	clang++-14 -std=c++17 -Wall -Wextra -Werror $(FUZZ_SAN) -fsanitize=fuzzer-no-link \
	  $(FUZZ_INCS) -c $< -o $@

$(FUZZ)/tool/%.o: tools/vantorell-check/%.cpp $(wildcard module/core/*.h tools/vantorell-check/*.h) \
                  | $(FUZZ)/.deps
	@mkdir -p $(dir $@)
	clang++-14 -std=c++17 -Wall -Wextra -Werror $(FUZZ_SAN) -fsanitize=fuzzer-no-link \
	  $(FUZZ_INCS) -c $< -o $@

$(FUZZ)/fuzz_%: tests/fuzz/fuzz_%.cpp $(wildcard tests/fuzz/*.h tests/unit/*.h) \
                $(FUZZ_CORE_OBJS) $(FUZZ_TOOL_OBJS)
	clang++-14 -std=c++17 -Wall -Wextra -Werror $(FUZZ_SAN) -fsanitize=fuzzer $(FUZZ_INCS) \
	  -o $@ $< $(FUZZ_CORE_OBJS) $(FUZZ_TOOL_OBJS) $(CORE_LIBS)

.SECONDARY: $(FUZZ_CORE_OBJS) $(FUZZ_TOOL_OBJS)
.PHONY: fuzz-build fuzz fuzz-smoke
fuzz-build: $(FUZZ_BINS)

fuzz: fuzz-build
	bash tests/fuzz/run.sh $(FUZZ) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

fuzz-smoke: fuzz-build
	bash tests/fuzz/run.sh $(FUZZ) 30 $(FUZZ_TARGETS)

# ---- integration tests: the built nginx with the module loaded ---------------

integration: build
	$(RUN_ENV) $(PYTHON) -m pytest -q -n auto tests/integration

# nginx under valgrind: no memory error, nothing of the module's definitely lost
memcheck: build
	$(RUN_ENV) bash scripts/valgrind-check.sh

test: build unit memcheck integration

# Debian 12's own nginx package with the module built the way docs/building.md tells
# operators to (installs the package; starts no service)
debian-check: deps
	bash scripts/debian-nginx-check.sh

# The integration suite against every release, then the module built apart
# against the newest release's sources for its binary (custom-check), then
# Debian's package.  A failing release does not hide the others: the run fails
# at its end.  A release whose sources are not at hand (fetch-nginx.sh's
# status 3: a clone without ../shared/nginx beside it) is named, and left out
# without failing the run.
test-all: build unit
	@status=0; tested=; missing=; \
	for v in $(NGINX_VERSIONS); do \
	  echo "== nginx $$v"; \
	  bash scripts/fetch-nginx.sh $$v $(BUILD); rc=$$?; \
	  if [ $$rc -eq 3 ]; then missing="$$missing $$v"; continue; fi; \
	  if [ $$rc -ne 0 ] || ! $(MAKE) --no-print-directory NGINX_VERSION=$$v release; then \
	    status=1; continue; \
	  fi; \
	  echo "== integration tests, nginx $$v"; \
	  VANTORELL_NGINX=$(BUILD)/nginx-$$v/sbin/nginx \
	  VANTORELL_MODULE=$(BUILD)/nginx-$$v/modules/ngx_http_vantorell_module.so \
	    $(PYTHON) -m pytest -q -n auto tests/integration || status=1; \
	  tested=$$v; \
	done; \
	if [ -n "$$tested" ]; then \
	  echo "== the module built apart for nginx $$tested's binary (make NGINX_SRC=...)"; \
	  $(MAKE) --no-print-directory NGINX_VERSION=$$tested custom-check || status=1; \
	fi; \
	echo "== Debian's nginx package with the module"; \
	bash scripts/debian-nginx-check.sh || status=1; \
	if [ -n "$$missing" ]; then \
	  echo "== NOT TESTED: nginx$$missing: the sources are not at hand" \
	       "(scripts/fetch-nginx.sh takes them from ../shared/nginx/)"; \
	fi; \
	exit $$status

# ---- the module for an nginx of one's own ------------------------------------
# make NGINX_SRC=/path/to/nginx-x.y.z [NGINX_BIN=/usr/sbin/nginx] builds
# build/custom-<version>/ngx_http_vantorell_module.so against those sources,
# configured --with-compat with NGINX_BIN's arguments (nginx -V), or with
# NGINX_CONFIGURE_ARGS (what nginx -V says on the machine that runs nginx);
# with NGINX_BIN it checks that this binary loads the result.  docs/building.md
# tells the rest.  NGINX_SRC is the operator's tree; NGX_SRC above is the
# default release's, for vantorell-check.
export NGINX_CONFIGURE_ARGS
.PHONY: custom custom-check
custom:
	@[ -n "$(NGINX_SRC)" ] || { echo "make custom: name the nginx sources, NGINX_SRC=/path/to/nginx-x.y.z" >&2; exit 1; }
	@bash scripts/build-for-nginx.sh "$(NGINX_SRC)" $(BUILD) $(NGINX_BIN)

# what an operator does, on NGINX_VERSION's build: the module built apart from
# the release's sources for that nginx binary, and a visitor's journey through
# the binary with it
custom-check: release
	$(MAKE) --no-print-directory custom NGINX_SRC=$(BUILD)/nginx-$(NGINX_VERSION)-src NGINX_BIN=$(NGINX)
	VANTORELL_NGINX=$(NGINX) VANTORELL_MODULE=$(BUILD)/custom-$(NGINX_VERSION)/ngx_http_vantorell_module.so \
	  $(PYTHON) -m pytest -q tests/integration/test_outcome.py::test_a_visitors_journey

run: build
	$(RUN_ENV) bash scripts/run-demo.sh

# wrk against the built nginx: module off, module on in every scenario and the
# split_clients peer, side by side with module off, in about 4 minutes; results in build/bench/
# Timing lives here, never in the tests.  BENCH_ARGS=--help lists the knobs.
.PHONY: bench regex-bench
bench: build
	bash scripts/bench/install-bench-deps.sh
	$(RUN_ENV) $(PYTHON) scripts/bench/bench.py $(BENCH_ARGS)
	$(MAKE) --no-print-directory regex-bench

# What a request costs in user-space instructions, counted by callgrind: a
# figure that the machine's load does not move (docs/performance.md).
.PHONY: bench-instructions
bench-instructions: build
	$(RUN_ENV) $(PYTHON) scripts/bench/instructions.py $(INSTRUCTIONS_ARGS)

# Targeting without the worker's memo of URL texts: what a URL never seen
# before costs, on shop data files of 100 experiments (a fifth of their
# conditions regular expressions, then all of them) and of 1,000.
REGEX_BENCH := $(BUILD)/bench/regex_bench
$(REGEX_BENCH): scripts/bench/regex_bench.cpp $(CORE_SRCS) $(wildcard module/core/*.h)
	@mkdir -p $(dir $@)
	g++ -std=c++17 -O2 -g -Wall -Wextra -Werror -Imodule/core -o $@ $< $(CORE_SRCS) $(CORE_LIBS)

regex-bench: $(REGEX_BENCH)
	$(PYTHON) scripts/bench/make_data.py 100 -o $(BUILD)/bench/mixed-100.json
	$(PYTHON) scripts/bench/make_data.py 100 --all-regex -o $(BUILD)/bench/regex-100.json
	$(PYTHON) scripts/bench/make_data.py 1000 -o $(BUILD)/bench/mixed-1000.json
	cd $(BUILD)/bench && $(REGEX_BENCH) mixed-100.json regex-100.json mixed-1000.json \
	  | tee regex.txt

# AddressSanitizer + UndefinedBehaviorSanitizer build of nginx 1.18.0 and the
# module in its own folder; the integration suite against it, stopping at the
# first report.  PYTEST_ARGS narrows the suite.
.PHONY: test-sanitize
test-sanitize: deps
	bash scripts/sanitize/test-sanitize.sh $(PYTEST_ARGS)

# wrk drives a million requests at one worker while the data file is rewritten
# every 100 ms and nginx reloads; fails on a crash, an [alert], an unexpected
# status or a worker that keeps growing.  SOAK_ARGS=--help lists the knobs.
.PHONY: soak
soak: build
	bash scripts/bench/install-bench-deps.sh
	$(RUN_ENV) $(PYTHON) scripts/soak/soak.py $(SOAK_ARGS)

# ---- the Debian packages -----------------------------------------------------
# Built against Debian's own nginx sources (nginx-dev), not against the
# releases in build/, so this needs nothing of `make build`.

$(BUILD)/deb-deps: scripts/install-deps.sh
	bash scripts/install-deps.sh nginx-dev debhelper lintian procps
	@mkdir -p $(BUILD) && touch $@

# DEBIAN_RELEASE=trixie: the packages for that Debian release instead, built
# and checked by scripts/deb-root.sh in roots of that release that mmdebstrap
# makes under build/roots/ (and reuses), into build/deb/<release>/.
DEBIAN_RELEASE ?=

$(BUILD)/root-deps: scripts/install-deps.sh
	bash scripts/install-deps.sh mmdebstrap
	@mkdir -p $(BUILD) && touch $@

.PHONY: deb deb-check
ifeq ($(DEBIAN_RELEASE),)
deb: $(BUILD)/deb-deps
	bash scripts/deb-build.sh

deb-check: $(BUILD)/deb-deps
	bash scripts/deb-check.sh
else
deb: $(BUILD)/root-deps
	bash scripts/deb-root.sh build $(DEBIAN_RELEASE)

deb-check: $(BUILD)/root-deps
	bash scripts/deb-root.sh check $(DEBIAN_RELEASE)
endif

clean:
	rm -rf $(BUILD)
