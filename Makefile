# Entry points.  Each sets up the build environment first when it is missing
# (see tools/setup-env), then runs inside it.
.PHONY: test demo bench bench-quick fuzz test-asan test-debug test-deep clean

# The suite runs inside the build environment; tests/own_files.sh runs
# tools/with-env from outside it, as a user does.
test:
	tools/with-env tools/run-tests
	tests/own_files.sh

demo:
	tools/with-env tools/run-demo

bench:
	tools/with-env tools/run-bench

bench-quick:
	tools/with-env tools/run-bench --quick

FUZZ_SECONDS ?= 60
fuzz:
	tools/with-env tools/run-fuzz $(FUZZ_SECONDS)

test-asan:
	tools/with-env tools/run-tests-asan

test-debug:
	tools/with-env tools/run-tests-debug

# The long runs: 20,000 differential files, a thousand rounds of the leak
# test, under the release and the debug interpreter; then a few hundred
# files read under valgrind's memcheck.
test-deep:
	tools/with-env env TAVREL_DEEP=1 tools/run-tests
	tools/with-env env TAVREL_DEEP=1 tools/run-tests-debug
	tools/with-env tools/run-memcheck

clean:
	rm -rf build
