// Starts the tests' private S3 gateway for bench/server/s3.sh: prints
// "ENDPOINT BUCKET REGION ACCESS_KEY SECRET_KEY" and keeps the gateway until
// its standard input closes.

#include "S3Cluster.h"

#include <QCoreApplication>
#include <cstdio>

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
    while (std::getchar() != EOF) { }
    return 0;
}
