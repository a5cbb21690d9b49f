// GoogleTest main for the window tests: one QApplication for the whole run, on the offscreen
// platform unless the environment names another.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // The upgrades these tests run are recorded in a history of their own, not the user's.
  if (!qEnvironmentVariableIsSet("KESTREL_HISTORY"))
    qputenv("KESTREL_HISTORY", (QDir::tempPath() + QStringLiteral("/kestrel-gui-test-%1.db").arg(QCoreApplication::applicationPid())).toUtf8());
  QApplication app(argc, argv);
  QApplication::setStyle(QStringLiteral("Fusion"));
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
