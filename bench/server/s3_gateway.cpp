// Starts the tests' private S3 gateway for bench/server/s3.sh: prints
// "ENDPOINT BUCKET REGION ACCESS_KEY SECRET_KEY" and keeps the gateway until
// its standard input closes. A line "stop" stops the gateway alone and "start"
// brings it back on the same port; each is answered "stopped" or "started"
// (or "failed: ...") on a line of its own.

#include "S3Cluster.h"

#include <QCoreApplication>
#include <cstdio>
#include <iostream>
#include <string>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    S3Cluster cluster;
    if (!cluster.start()) {
        std::fprintf(stderr, "%s\n", qPrintable(cluster.failure()));
        return 1;
    }
    std::printf("%s %s %s %s %s\n", qPrintable(cluster.endpoint()), qPrintable(cluster.bucket()),
                qPrintable(cluster.region()), cluster.accessKey().constData(),
                cluster.secretKey().constData());
    std::fflush(stdout);
    for (std::string line; std::getline(std::cin, line);) {
        if (line == "stop") {
            cluster.stopGateway();
            std::printf("stopped\n");
        } else if (line == "start") {
            if (cluster.startGateway())
                std::printf("started\n");
            else
                std::printf("failed: %s\n", qPrintable(cluster.failure()));
        }
        std::fflush(stdout);
    }
    return 0;
}
