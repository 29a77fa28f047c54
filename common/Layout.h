#pragma once

#include <QRect>

class QTreeView;

// The windows are laid out in twips, as they were designed; 15 twips make a
// pixel at 96 dots per inch.
namespace vanterel::layout {

constexpr int px(int twips)
{
    return twips / 15;
}

inline QRect twipsRect(int left, int top, int width, int height)
{
    return QRect(px(left), px(top), px(width), px(height));
}

// A flat, read-only list of rows with one selected at a time: how both
// windows show their lists.
void makeReportList(QTreeView *view);

} // namespace vanterel::layout
