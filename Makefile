# The two commands of the README. Each installs what is missing on Debian 12 (as root, or with sudo).
#   make run    build for Linux against the stand-in for Windows, and run the program once
#   make test   build everything and run every test

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
PYTHON := /usr/bin/python3

RUN_PACKAGES := cmake make g++
# llvm-rc (package llvm) preprocesses with clang; osslsigncode and openssl sign and check releases.
TEST_PACKAGES := $(RUN_PACKAGES) g++-mingw-w64-x86-64-posix wine wine64 \
                 python3-pytest python3-pefile clang-format clang-tidy cppcheck \
                 llvm clang osslsigncode openssl

RUN_DIR := build/run

CXX_SOURCES = $(shell find src standin -name '*.cpp' -o -name '*.h')

.PHONY: run test lint deps-run deps-test test-packages

run: deps-run
	cmake --workflow --preset host
	standin/make-system-dir build/host/standin $(RUN_DIR)/System32
	mkdir -p $(RUN_DIR)/Downloads
	cd $(RUN_DIR)/Downloads && \
	STANDIN_SYSTEM_DIR=$(CURDIR)/$(RUN_DIR)/System32 \
	PATH=.:$(CURDIR)/$(RUN_DIR)/System32:$(CURDIR)/$(RUN_DIR)/System32/WindowsPowerShell/v1.0:/usr/bin:/bin \
	$(CURDIR)/build/host/enable-tcp-timestamps

test: deps-test lint
	cmake --workflow --preset host-asan
	cmake --workflow --preset windows
	$(PYTHON) -m pytest -rs tests

# One style, and nothing for the analysers to report, in the program and the stand-in.
lint: deps-test
	cmake --workflow --preset host
	clang-format --dry-run --Werror $(CXX_SOURCES)
	clang-tidy --quiet -p build/host $(filter %.cpp,$(CXX_SOURCES))
	cppcheck --enable=warning,style,performance,portability --std=c++17 --error-exitcode=1 --inline-suppr \
	    --quiet -I standin/include -I standin src standin

deps-run deps-test: deps-%:
	@missing=$$(for p in $($(shell echo $* | tr a-z A-Z)_PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	    echo "installing:" $$missing; \
	    $(SUDO) apt-get update && $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $$missing; \
	fi

# For .ci/run, so that the packages are listed in one place.
test-packages:
	@echo $(TEST_PACKAGES)
