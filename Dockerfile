# The fleet and the receiver in one image; ENTRYPOINT is the fleet (the receiver:
# --entrypoint vandry-receiver, or command: in Kubernetes). Build: docker build -t vandry-fleet .
FROM debian:bookworm AS build
RUN apt-get update \
 && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends cmake make g++ libasio-dev nlohmann-json3-dev \
 && rm -rf /var/lib/apt/lists/*
WORKDIR /src
COPY . .
RUN cmake -S . -B /build -DCMAKE_BUILD_TYPE=Release -DVANDRY_TESTS=OFF -DVANDRY_BENCH=OFF \
 && cmake --build /build -j "$(nproc)" --target vandry-fleet vandry-receiver \
 && install -D -s -m 0755 -t /out /build/fleet/vandry-fleet /build/receiver/vandry-receiver

# Runtime: the binaries link libstdc++ and libgcc dynamically; bookworm-slim has both (apt needs them).
FROM debian:bookworm-slim
COPY --from=build /out/ /usr/local/bin/
# Fail the build, not the pod, if a runtime library is missing.
RUN ! ldd /usr/local/bin/vandry-fleet /usr/local/bin/vandry-receiver | grep 'not found' \
 && groupadd --gid 10001 vandry \
 && useradd --uid 10001 --gid 10001 --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin vandry
# Numeric, so that Kubernetes' runAsNonRoot can verify it.
USER 10001:10001
ENTRYPOINT ["/usr/local/bin/vandry-fleet"]
CMD ["--help"]
