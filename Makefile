# Build for Windows with mingw-w64 and test under Wine. Every target installs the Debian
# packages it needs when they are missing.
BUILD      ?= build
WIN64      := $(BUILD)/win64
WIN32      := $(BUILD)/win32
PREFIX     := $(abspath $(WIN64))/wineprefix
JOBS       ?= $(shell nproc)
PACKAGES   := cmake make g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools \
              wine wine64 libwine-dev googletest

export WINEDEBUG ?= -all
# No Mono or Gecko installers in headless prefixes.
export WINEDLLOVERRIDES ?= mscoree=;mshtml=

.PHONY: all deps build build64 build32 test demo bench clean

all: build

deps:
	@missing=$$(for p in $(PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing: $$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; \
	fi

$(WIN64)/CMakeCache.txt: | deps
	cmake -S . -B $(WIN64) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo

$(WIN32)/CMakeCache.txt: | deps
	cmake -S . -B $(WIN32) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_BUILD_TESTS=OFF

build64: deps $(WIN64)/CMakeCache.txt
	cmake --build $(WIN64) -j $(JOBS)

build32: deps $(WIN32)/CMakeCache.txt
	cmake --build $(WIN32) -j $(JOBS)

build: build64 build32

# Lab tests run two at a time, each in its own lab machines; a machine that a timed-out test left
# running is stopped afterwards by its recorded wineserver.
# The Wine services started by the first test would keep ctest's output pipe open, so the
# prefix is booted before ctest and stopped after it. "wineboot --init" on an existing prefix
# starts a second service control manager beside the first (service requests then reach either
# at random), so it only makes a new prefix; each run boots with a plain wineboot. Without an X
# server, windows need Wine's null display driver, set before anything starts the desktop.
test: build
	@export WINEPREFIX=$(PREFIX); \
	wineserver -k >/dev/null 2>&1; \
	if [ ! -f $(PREFIX)/system.reg ]; then wine wineboot --init >/dev/null 2>&1; wineserver -w; fi; \
	if [ -z "$$DISPLAY" ]; then wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1; wineserver -w; fi; \
	wineserver -p >/dev/null 2>&1; \
	wine wineboot >/dev/null 2>&1; \
	cd $(WIN64) && ctest -j2 --output-on-failure $(CTEST_ARGS); status=$$?; cd $(CURDIR); \
	WINEPREFIX=$(PREFIX) wineserver -k >/dev/null 2>&1; \
	for machine in $(WIN64)/lab-machines/*/; do \
	  [ ! -f $$machine/wineserver.pid ] || lab/stop $$machine; \
	done; \
	exit $$status

# The main job on a lab server (lab/demo). The build's output goes to a log, shown only when it fails.
demo: deps $(WIN64)/CMakeCache.txt $(WIN32)/CMakeCache.txt
	@echo "== Building (log: $(BUILD)/demo-build.log)"; \
	{ cmake --build $(WIN64) -j $(JOBS) && cmake --build $(WIN32) -j $(JOBS); } >$(BUILD)/demo-build.log 2>&1 || \
	  { tail -40 $(BUILD)/demo-build.log; exit 1; }
	@lab/demo $(abspath $(WIN64))

# Our copy and registry backup code against the platform's own on the same data, each row a
# ratio measured in one run (bench/README.md). Not part of test: it takes minutes and a few GB.
bench: build64
	@bash bench/run.sh $(abspath $(WIN64))

clean:
	rm -rf $(BUILD)
