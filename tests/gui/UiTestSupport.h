// Shared by the desktop program's tests: a private home for settings and temporary files, and
// a recorder that answers message boxes instead of showing them.
#pragma once

#include <QApplication>
#include <QClipboard>
#include <QDropEvent>
#include <QMimeData>
#include <QTest>
#include <QDir>
#include <QFile>
#include <QList>
#include <QPair>
#include <QTemporaryDir>
#include <QUrl>

#include "gui/UiSupport.h"

namespace uitest {

// Points $HOME, the XDG folders and $TMPDIR into a fresh folder for the whole test binary.
inline QString IsolateEnvironment(QTemporaryDir& dir) {
  const QString base = dir.path();
  for (const char* sub : {"config", "data", "tmp"}) QDir().mkpath(base + "/" + sub);
  qputenv("HOME", base.toUtf8());
  qputenv("XDG_CONFIG_HOME", (base + "/config").toUtf8());
  qputenv("XDG_DATA_HOME", (base + "/data").toUtf8());
  qputenv("TMPDIR", (base + "/tmp").toUtf8());
  return base;
}

inline void WriteFile(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  f.open(QIODevice::WriteOnly | QIODevice::Truncate);
  f.write(bytes);
}

inline QByteArray ReadFile(const QString& path) {
  QFile f(path);
  f.open(QIODevice::ReadOnly);
  return f.readAll();
}

// Records every message box and answers with `answer`; records opened addresses too.
struct Messages {
  QList<QPair<dtlui::MsgIcon, QString>> shown;
  QList<QUrl> opened;
  dtlui::MsgAnswer answer = dtlui::MsgAnswer::Yes;
  bool openWorks = true;  // what the recorded opener answers
  Messages() {
    dtlui::SetMessageHook([this](dtlui::MsgIcon icon, const QString& text, dtlui::MsgButtons) {
      shown.append({icon, text});
      return answer;
    });
    dtlui::SetOpenHook([this](const QUrl& url) {
      opened.append(url);
      return openWorks;
    });
  }
  ~Messages() {
    dtlui::SetMessageHook({});
    dtlui::SetOpenHook({});
  }
  QStringList Texts() const {
    QStringList t;
    for (const auto& m : shown) t << m.second;
    return t;
  }
};

// Drags `data` onto `target` and drops it there as the window system would deliver it;
// whether the drop was taken.
inline bool DropOn(QWidget* target, QMimeData* data) {
  const QPointF at(target->width() / 2.0, target->height() / 2.0);
  QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &enter);
  QDropEvent drop(at, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &drop);
  const bool taken = enter.isAccepted() && drop.isAccepted();
  delete data;
  return taken;
}
inline bool DropFiles(QWidget* target, const QStringList& paths) {
  auto* data = new QMimeData;
  QList<QUrl> urls;
  for (const auto& p : paths) urls << QUrl::fromLocalFile(p);
  data->setUrls(urls);
  return DropOn(target, data);
}
// Puts `text` on the clipboard and pastes it into `target` with Ctrl+V.
inline void Paste(QWidget* target, const QString& text) {
  QGuiApplication::clipboard()->setText(text);
  QTest::keyClick(target, Qt::Key_V, Qt::ControlModifier);
}

}  // namespace uitest
