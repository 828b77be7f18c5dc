// What the window tests on the scripted core's card session keep: a folder
// of their own for the settings file and the per-user data (and so the
// per-user key), and a fresh core for each case. Mixed into the test class,
// whose initTestCase, init and cleanup call the steps below.
#pragma once

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <string>

#include "FakeCarvelin.h"

namespace TestSupport {

class TCardSessionTest {
 protected:
  // initTestCase: the per-user data goes under Dir.
  void UseOwnFolder() {
    QVERIFY(Dir.isValid());
    qputenv("XDG_DATA_HOME", Dir.filePath(QStringLiteral("data")).toUtf8());
  }
  // init: no settings file, a core with no card session yet.
  void NewCore() {
    QFile::remove(QString::fromStdString(IniFile()));
    Fake = std::make_shared<TFakeCarvelin>();
  }
  // cleanup.
  void DropCore() {
    CPS.reset();
    Fake.reset();
  }

  std::string Holder() const { return Fake->Core->Data.Porteur.IdNational; }
  std::string IniFile() const { return Dir.filePath(QStringLiteral("Carvelin2.ini")).toStdString(); }

  QTemporaryDir Dir;
  std::shared_ptr<TFakeCarvelin> Fake;
  std::shared_ptr<Talven::IVaspoCPS> CPS;
};

}  // namespace TestSupport
