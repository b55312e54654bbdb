# The two commands of the README. Each installs what is missing on Debian 12 (as root, or with sudo).
#   make run    build for Linux against the stand-in for Windows, and run the program once
#   make test   build everything and run every test

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
PYTHON := /usr/bin/python3

RUN_PACKAGES := cmake make g++
TEST_PACKAGES := $(RUN_PACKAGES) python3-pytest g++-mingw-w64-x86-64-posix

RUN_DIR := build/run

.PHONY: run test deps-run deps-test

run: deps-run
	cmake --workflow --preset host
	standin/make-system-dir build/host/standin $(RUN_DIR)/System32
	mkdir -p $(RUN_DIR)/Downloads
	cd $(RUN_DIR)/Downloads && \
	STANDIN_SYSTEM_DIR=$(CURDIR)/$(RUN_DIR)/System32 \
	PATH=.:$(CURDIR)/$(RUN_DIR)/System32:$(CURDIR)/$(RUN_DIR)/System32/WindowsPowerShell/v1.0:/usr/bin:/bin \
	$(CURDIR)/build/host/enable-tcp-timestamps

test: deps-test
	cmake --workflow --preset host
	cmake --workflow --preset host-asan
	cmake --workflow --preset windows
	$(PYTHON) -m pytest tests

deps-run deps-test: deps-%:
	@missing=$$(for p in $($(shell echo $* | tr a-z A-Z)_PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	    echo "installing:" $$missing; \
	    $(SUDO) apt-get update && $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $$missing; \
	fi
