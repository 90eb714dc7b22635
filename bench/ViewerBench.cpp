// zel-viewer-bench: opens the data viewer offscreen on the first enabled
// session of a configuration file and prints what an operator waits for on a
// big table:
//   zel-viewer-bench CONFIG [PICTURE.png]
// open_ms         InitializeForm: session, connection, table, row count
// first_paint_ms  from InitializeForm to the grid painted with its first rows
// last_row_ms     from "go to the last row" to the grid painted there
// scroll_ms       median of 20 page-downs from the middle, each painted
// rss_kib         resident memory after all of that, and its growth over the
//                 program before the viewer opened
// With PICTURE.png, the viewer's first page is also saved as a picture.
#include <QApplication>
#include <QElapsedTimer>
#include <QPixmap>
#include <QScrollBar>
#include <QTableView>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "base/IniFile.h"
#include "ui/Zel_ODBCData.h"
#include "ui/Zel_TableModel.h"

namespace {

long RssKib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// Serves events until the viewer's worker has answered everything asked.
void Settle(const TfrmODBCData& viewer) {
    while (viewer.IsBusy())
        QApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

// Paints the grid as the screen would, then again once the rows it asked
// its worker for have come.
void Paint(const TfrmODBCData& viewer, QTableView* grid) {
    QApplication::processEvents();
    grid->viewport()->grab();
    Settle(viewer);
    grid->viewport()->grab();
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: zel-viewer-bench CONFIG [PICTURE.png]\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TIniFile ini(argv[1]);
    const long rssBefore = RssKib();

    TfrmODBCData viewer;
    viewer.IniFile = &ini;
    viewer.resize(1280, 800);
    viewer.show();
    QTableView* grid = viewer.findChild<QTableView*>(QStringLiteral("grdTableData"));

    QElapsedTimer timer;
    timer.start();
    viewer.InitializeForm();
    Settle(viewer);
    const double opened = timer.nsecsElapsed() / 1e6;
    Paint(viewer, grid);
    const double firstPaint = timer.nsecsElapsed() / 1e6;
    const long rows = viewer.Model()->rowCount();
    if (argc == 3 && !viewer.grab().save(QString::fromLocal8Bit(argv[2])))
        std::fprintf(stderr, "zel-viewer-bench: cannot write %s\n", argv[2]);

    timer.restart();
    grid->setCurrentIndex(viewer.Model()->index(static_cast<int>(rows - 1), 0));
    grid->scrollToBottom();
    Paint(viewer, grid);
    const double lastRow = timer.nsecsElapsed() / 1e6;
    const bool lastShown =
        viewer.Model()->data(viewer.Model()->index(static_cast<int>(rows - 1), 0)).isValid();

    grid->verticalScrollBar()->setValue(grid->verticalScrollBar()->maximum() / 2);
    Paint(viewer, grid);
    std::vector<double> pages;
    for (int i = 0; i < 20; ++i) {
        timer.restart();
        grid->verticalScrollBar()->triggerAction(QAbstractSlider::SliderPageStepAdd);
        Paint(viewer, grid);
        pages.push_back(timer.nsecsElapsed() / 1e6);
    }
    std::sort(pages.begin(), pages.end());

    const long rss = RssKib();
    std::printf("rows=%ld open_ms=%.1f first_paint_ms=%.1f last_row_ms=%.1f scroll_ms=%.1f rss_kib=%ld "
                "rss_growth_kib=%ld%s\n",
                rows, opened, firstPaint, lastRow, pages[pages.size() / 2], rss, rss - rssBefore,
                lastShown ? "" : " (last row not read)");
    return 0;
}
