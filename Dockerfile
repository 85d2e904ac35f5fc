# The orvaneftp container image: the .deb of scripts/package.sh built in a Debian bookworm stage,
# installed into bookworm-slim, run as a non-root user with orvaneftp as the entry point.
#   docker build -t orvaneftp:0.9.0 .
#   docker run --rm -v "$PWD/jobs:/jobs:ro" orvaneftp:0.9.0 -script /jobs/nightly.fscr
# The CronJobs of "orvanesched -export kubernetes" run this image as user 10001 with the task's
# script mounted at /etc/orvane/task.

FROM debian:bookworm AS build
RUN apt-get update \
 && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
      cmake ninja-build g++ pkg-config libssl-dev zlib1g-dev libarchive-dev libpcre2-dev \
      pandoc dpkg-dev file gzip ca-certificates \
 && rm -rf /var/lib/apt/lists/*
WORKDIR /src
COPY . .
RUN scripts/package.sh /build >/tmp/deb-path && cp "$(cat /tmp/deb-path)" /orvane.deb

FROM debian:bookworm-slim
# The user exists before the package is installed, so its postinst keeps this one (uid 10001,
# what the exported CronJobs ask for) instead of making a system user.
RUN groupadd --gid 10001 orvane \
 && useradd --uid 10001 --gid orvane --home-dir /home/orvane --create-home --shell /usr/sbin/nologin orvane
COPY --from=build /orvane.deb /tmp/orvane.deb
# apt resolves the package's own dependencies (libssl3, libarchive13...); ca-certificates lets
# FTPS and mail check servers' certificates.
RUN apt-get update \
 && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends /tmp/orvane.deb ca-certificates \
 && rm -rf /var/lib/apt/lists/* /tmp/orvane.deb \
 && orvaneftp --version
USER 10001:10001
WORKDIR /home/orvane
ENTRYPOINT ["orvaneftp"]
CMD ["--help"]
