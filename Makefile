# Set-up and everyday commands; see README.md.
.PHONY: run test build bench clean
run:
	sh scripts/run.sh
test:
	sh scripts/test.sh
build:
	sh scripts/deps.sh && sh scripts/build.sh
bench:
	sh scripts/bench.sh
clean:
	rm -rf build
