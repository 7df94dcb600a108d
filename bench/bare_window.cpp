// The least a Qt program with a window costs: one empty widget the size of the panel (its
// client area at 15 twips a pixel), shown. program_costs starts it beside the panel.
#include <QApplication>
#include <QWidget>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QWidget window;
  window.resize(633, 582);
  window.show();
  return QApplication::exec();
}
