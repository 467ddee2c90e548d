#include "StatusBrushes.h"

namespace StatusBrushes {

const QBrush &green()
{
    static const QBrush brush(QColor(0, 255, 0, 64));
    return brush;
}

const QBrush &cyan()
{
    static const QBrush brush(QColor(0, 255, 255, 64));
    return brush;
}

const QBrush &red()
{
    static const QBrush brush(QColor(255, 0, 0, 64));
    return brush;
}

const QBrush &yellow()
{
    static const QBrush brush(QColor(255, 255, 0, 64));
    return brush;
}

} // namespace StatusBrushes
