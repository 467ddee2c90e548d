#include "KeycrateSend.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    KeycrateSend tool(out, err);
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    return tool.run(arguments);
}
