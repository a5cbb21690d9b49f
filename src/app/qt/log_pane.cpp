#include "app/qt/log_pane.h"

#include <QFontDatabase>
#include <QScrollBar>

#include <mutex>
#include <string>

namespace kestrel::qt {

namespace {
constexpr int kMaxLines = 5000;
constexpr size_t kMaxPending = 1 << 20;  // text not yet shown; the oldest goes first beyond this
}  // namespace

struct LogPane::Shared {
  std::mutex lock;
  std::string pending;
  LogPane* pane = nullptr;  // null once the pane is gone
  bool scheduled = false;
  FILE* tee = nullptr;
};

namespace {

struct Cookie {
  std::shared_ptr<LogPane::Shared> shared;
};

ssize_t cookie_write(void* c, const char* buf, size_t size) {
  auto& s = *static_cast<Cookie*>(c)->shared;
  std::lock_guard<std::mutex> g(s.lock);
  if (s.tee) {
    fwrite(buf, 1, size, s.tee);
    fflush(s.tee);
  }
  if (!s.pane) return static_cast<ssize_t>(size);
  s.pending.append(buf, size);
  if (s.pending.size() > kMaxPending) s.pending.erase(0, s.pending.size() - kMaxPending);
  if (!s.scheduled) {
    s.scheduled = true;
    LogPane* pane = s.pane;
    QMetaObject::invokeMethod(pane, [pane] { pane->take(); }, Qt::QueuedConnection);
  }
  return static_cast<ssize_t>(size);
}

int cookie_close(void* c) {
  auto* cookie = static_cast<Cookie*>(c);
  {
    std::lock_guard<std::mutex> g(cookie->shared->lock);
    if (cookie->shared->tee) fclose(cookie->shared->tee);
    cookie->shared->tee = nullptr;
  }
  delete cookie;
  return 0;
}

}  // namespace

LogPane::LogPane(QWidget* parent) : QPlainTextEdit(parent), shared_(std::make_shared<Shared>()) {
  setObjectName(QStringLiteral("log_pane"));
  setReadOnly(true);
  setLineWrapMode(QPlainTextEdit::NoWrap);
  setMaximumBlockCount(kMaxLines);
  QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  mono.setPointSize(9);
  setFont(mono);
  shared_->pane = this;
}

LogPane::~LogPane() {
  std::lock_guard<std::mutex> g(shared_->lock);
  shared_->pane = nullptr;
}

FILE* LogPane::open_stream(FILE* tee) {
  {
    std::lock_guard<std::mutex> g(shared_->lock);
    shared_->tee = tee;
  }
  auto* cookie = new Cookie{shared_};
  cookie_io_functions_t io{};
  io.write = cookie_write;
  io.close = cookie_close;
  FILE* f = fopencookie(cookie, "w", io);
  if (!f) {
    delete cookie;
    return nullptr;
  }
  return f;
}

void LogPane::take() {
  std::string text;
  {
    std::lock_guard<std::mutex> g(shared_->lock);
    text.swap(shared_->pending);
    shared_->scheduled = false;
  }
  if (text.empty()) return;
  // CR LF and a lone CR (the end of a progress line) both end a line here.
  std::string lines;
  lines.reserve(text.size());
  for (char ch : text) {
    if (pending_cr_) {
      pending_cr_ = false;
      lines.push_back('\n');
      if (ch == '\n') continue;
    }
    if (ch == '\r') {
      pending_cr_ = true;
      continue;
    }
    lines.push_back(ch);
  }
  QScrollBar* bar = verticalScrollBar();
  const bool at_end = bar->value() == bar->maximum();
  QTextCursor end(document());
  end.movePosition(QTextCursor::End);
  end.insertText(QString::fromUtf8(lines.data(), static_cast<qsizetype>(lines.size())));
  if (at_end) bar->setValue(bar->maximum());
}

void LogPane::note(const QString& command) {
  take();  // what the log wrote before the click comes first
  QTextCursor end(document());
  end.movePosition(QTextCursor::End);
  if (!end.atBlockStart()) end.insertText(QStringLiteral("\n"));
  end.insertText(QStringLiteral("» %1\n").arg(command));
  verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

}  // namespace kestrel::qt
