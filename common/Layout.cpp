#include "common/Layout.h"

#include <QHeaderView>
#include <QTreeView>

namespace vanterel::layout {

void makeReportList(QTreeView *view)
{
    view->setRootIsDecorated(false);
    view->setItemsExpandable(false);
    view->setUniformRowHeights(true);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->header()->setStretchLastSection(false);
}

} // namespace vanterel::layout
