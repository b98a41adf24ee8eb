# Front door for building, testing, running, installing and packaging the agent.
# `make run` starts the agent in the foreground on the example configuration;
# `make test` builds everything and runs the whole suite, plain and under the
# sanitizers; `make install` installs the release build (PREFIX, DESTDIR);
# `make package` builds the Debian package and the RPM. They install missing
# Debian packages first when run as root.

# iproute2: the tests give a network namespace of their own its addresses.
DEB_PACKAGES := build-essential cmake ninja-build pkg-config nettle-dev zlib1g-dev \
                libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev clang-format \
                iproute2
# Only the release suite needs these: rpmbuild for the RPM, lintian to check the .deb, and
# fail2ban-regex to run the shipped filter on the agent's own lines; rpmlint and rpm2cpio's cpio
# for the RPM, systemd-analyze to score the unit, adduser and logrotate for the .deb's installs
# in scratch copies of the host, and devscripts' hardening-check (without its many
# recommendations).
PACKAGE_DEB_PACKAGES := rpm lintian fail2ban rpmlint cpio systemd adduser util-linux logrotate
PACKAGE_DEB_PACKAGES_NO_RECOMMENDS := devscripts
JOBS ?= $(shell nproc)
PORT ?= 1055
PREFIX ?= /usr/local
DESTDIR ?=

FUZZ_SECONDS ?= 60

.PHONY: all build debug asan tsan deps package-deps test test-release test-asan test-tsan test-stressed suite-built \
        run bench bench-hardening soak install package fuzz fuzz-build fuzz-smoke format format-check clean

all: build

# Installs the Debian packages of $(1) that are missing (as root, with the apt-get options
# $(2)), or names them and stops.
define install-missing
	@missing=""; \
	for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "Installing:$$missing"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $(2) $$missing; \
	  else \
	    echo "Missing Debian packages:$$missing"; \
	    echo "Install them with: sudo apt-get install$$missing"; exit 1; \
	  fi; \
	fi
endef

deps:
	$(call install-missing,$(DEB_PACKAGES))

package-deps:
	$(call install-missing,$(PACKAGE_DEB_PACKAGES))
	$(call install-missing,$(PACKAGE_DEB_PACKAGES_NO_RECOMMENDS),--no-install-recommends)

build: deps
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)

debug: deps
	cmake --preset debug >/dev/null
	cmake --build --preset debug -j $(JOBS)

asan: deps
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS)

tsan: deps
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan -j $(JOBS)

# What each suite runs once its build is there.
TSAN_RUN := TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
define run-release
	ctest --preset release -j $(JOBS)
endef
define run-asan
	ctest --preset asan -j $(JOBS)
endef
# ThreadSanitizer runs the unit tests whose suite name says Concurrency, and every
# test that drives the agent process (a race there ends the agent and fails the test).
define run-tsan
	$(TSAN_RUN) build-tsan/tests/orv_tests --gtest_filter='*Concurrency*' --gtest_brief=1
	$(TSAN_RUN) build-tsan/tests/orv_itests --gtest_brief=1
endef
define run-fuzz-smoke
	./fuzz/run-fuzzers.sh 5
endef

# The release suite also builds and checks the packages (lintian, rpm).
test-release: package-deps build
	$(run-release)

test-asan: asan
	$(run-asan)

test-tsan: tsan
	$(run-tsan)

test: format-check test-release test-asan test-tsan fuzz-smoke

# The whole suite built once, then run STRESS_RUNS times in a row while stress-ng keeps
# every processor busy, as another job on a shared CI machine would: each run's time is
# printed, and the first failure stops it.
STRESS_RUNS ?= 3
test-stressed: format-check package-deps build asan tsan fuzz-build
	$(call install-missing,stress-ng)
	@stress-ng --cpu $(JOBS) --timeout 0 >/dev/null 2>&1 & load=$$!; \
	trap 'kill $$load 2>/dev/null' EXIT; \
	for run in $$(seq $(STRESS_RUNS)); do \
	  start=$$(date +%s); \
	  $(MAKE) --no-print-directory suite-built || exit 1; \
	  echo "== stressed run $$run of $(STRESS_RUNS) passed in $$(( $$(date +%s) - start )) s"; \
	done

# The suite alone, on builds made before.
suite-built:
	$(run-release)
	$(run-asan)
	$(run-tsan)
	$(run-fuzz-smoke)

# Builds only what it runs: the agent and the client (run-example.sh writes the
# example configuration), not the tests, benchmarks and fuzz targets.
run: deps
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS) --target orv orvctl
	./examples/run-example.sh $(PORT)

# The installed configuration, unit and directories follow PREFIX; /usr gives
# the system layout (/etc/orv, /var/log/orv, /run, /lib/systemd/system).
install: build
	DESTDIR="$(DESTDIR)" cmake --install build --prefix "$(PREFIX)"

# build/orv_<version>-1_<arch>.deb and build/orv-<version>-1.<arch>.rpm, laid
# out for the prefix /usr (the RPM's unit in /usr/lib/systemd/system).
package: package-deps build
	cmake --build --preset release --target package

bench: build
	@for b in build/bench/bench_*; do [ -x "$$b" ] && echo "== $$b" && "$$b"; done

# What the hardening flags cost: the request bench of the release build's agent beside one built
# without them (ORV_HARDEN=OFF, otherwise as the release preset builds it, in PLAIN_DIR), in one
# run, each against the same floor server.
PLAIN_DIR ?= build-plain
CCACHE_LAUNCHER := $(if $(shell command -v ccache),-DCMAKE_C_COMPILER_LAUNCHER=ccache \
                   -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
bench-hardening: build
	cmake -S . -B $(PLAIN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORV_HARDEN=OFF \
	      -DORV_BUILD_TESTS=OFF -DORV_BUILD_BENCH=OFF $(CCACHE_LAUNCHER) >/dev/null
	cmake --build $(PLAIN_DIR) -j $(JOBS) --target orv
	ORV_BENCH_COMPARE=$(abspath $(PLAIN_DIR))/orv build/bench/bench_request

# The flood figures: 30 s of slow and bogus clients from one address, then from 200,
# while a manager asks every 100 ms (SOAK_SECONDS, SOAK_SLOW, SOAK_TRICKLERS); then what a
# captured request buys: the reply-length oracle with 20,000 connections, and 40 idle
# connections from the manager's address (SOAK_ORACLE_BUDGET, SOAK_REQUESTS).
soak: build
	./build/bench/soak_flood
	./build/bench/soak_forgery

fuzz-build: deps
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS)

# Every fuzz target for FUZZ_SECONDS each (default 60).
fuzz: fuzz-build
	./fuzz/run-fuzzers.sh $(FUZZ_SECONDS)

# A few seconds per target: proves each one builds and runs on its seeds.
fuzz-smoke: fuzz-build
	$(run-fuzz-smoke)

format: deps
	clang-format -i $$(git ls-files '*.cpp' '*.h')

format-check: deps
	@clang-format --dry-run -Werror $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build build-debug build-asan build-tsan build-fuzz $(PLAIN_DIR)
