#include <QApplication>
#include <QWidget>

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QWidget window;
  window.setWindowTitle("Tessun Timing Interface Window");
  window.resize(672, 545);
  window.show();
  return QApplication::exec();
}
