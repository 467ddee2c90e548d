#pragma once

#include <QList>

// Figures of repeated rounds: the middle one, which one disturbed round
// cannot move far.
class BenchStatistics
{
public:
    // Of an even count, the mean of the two middle values; 0 when empty.
    static double median(QList<double> values);
};
