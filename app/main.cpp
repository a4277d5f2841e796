#include <QApplication>

#include "common/fdlimit.h"
#include "common/ui/widgets.h"
#include "harvester/ui/frm_main.h"

int main(int argc, char** argv) {
  // A test of all rows holds one socket per row.
  mivo::RaiseOpenFileLimit();
  QApplication app(argc, argv);
  mivo::MessageBoxPresenter presenter;
  mivo::SetPresenter(&presenter);
  mivo::frmMain window;
  window.show();
  const int rc = app.exec();
  mivo::SetPresenter(nullptr);
  return rc;
}
