#pragma once

#include <QBrush>

// Row backgrounds of the window's lists: solid colours, a quarter opaque.
namespace StatusBrushes {

const QBrush &green();
const QBrush &cyan();
const QBrush &red();
const QBrush &yellow();

} // namespace StatusBrushes
