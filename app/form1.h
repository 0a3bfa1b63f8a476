// The main window: finds the console at start-up, polls it every 100 ms, shows the received
// lines and the USB status, and offers the operator's four commands.
#pragma once

#include <QWidget>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "core/acquisition.h"
#include "core/capture_log.h"
#include "core/tick_timer.h"
#include "device/clock.h"
#include "device/device_port.h"
#include "device/link_log.h"
#include "device/status_sink.h"
#include "ui/prompt.h"

class QAction;
class QPoint;
class QPushButton;
class QTimer;
class QUrl;

namespace tessun {

class Form6;
class PictureBox;
class StatusLabel;
class VerticalScrollBar;

inline constexpr char kMainWindowCaption[] = "Tessun Timing Interface Window";

// The question about the lines the previous run left unwritten: how many, the local time of the
// last, and when some of them are missing or only the newest are offered.
std::string RestoreQuestion(const UnsavedCapture& unsaved);

// The main window holds the controls and passes each of their events to the acquisition core;
// it has no acquisition logic of its own.
class Form1 final : public QWidget, private StatusSink, private TickTimer {
  Q_OBJECT

 public:
  // Timer1's interval until start-up sets the tick interval.
  static constexpr std::chrono::milliseconds kDesignTickInterval{50};

  // `clock` times the start-up and "Get Data" waits; `prompt` asks the operator and shows
  // unexpected errors; `link_log` gets the device link's messages and the ticks' errors;
  // `capture_log`, if not null, every received byte (it must outlive the window).
  Form1(DevicePort& port, Clock& clock, Prompt& prompt, LinkLog& link_log, CaptureLog* capture_log,
        QWidget* parent = nullptr);
  ~Form1() override;

  // Start-up: opens the device, starts the timer, waits, empties the store and the view.
  void Form_Load();
  // When the previous run left lines that were never written, asks whether to restore them
  // (Yes is the default). Called once the window has appeared; ticks go on while it asks.
  void AskRestore();

  // The acquisition tick: reads the console, assembles lines, and shows them if any arrived.
  void Timer1_Timer();
  // "Get Data": asks the console for its stored data.
  void Reset_Click();
  // "Clear Data": empties the line store and the view.
  void TODC_Click();
  // "Write File": shows the save window.
  void WriteFile_Click();
  // "Exit": closes the device and ends the program at once.
  void Exit_Click();
  // The scroll bar moved.
  void VScroll1_Change();
  // Ctrl+C on the view, or "Copy All Lines" in its context menu: every stored line (0 to
  // LineIndex), one per line and without the view's indent, goes to the clipboard.
  void CopyAllLines_Click();
  // "Open Capture Folder" in the view's context menu (disabled without a capture): shows the
  // folder of the capture files, where "Clear Data" leaves what it cleared.
  void OpenCaptureFolder_Click();

  // The console is the simulated one: the status line's tooltip says so first.
  void SetSimulated(bool simulated);
  // How the capture folder is shown (the desktop's file manager); tests replace it. Returns
  // false when it could not be shown.
  void SetFolderOpener(std::function<bool(const QUrl&)> open) { open_folder_ = std::move(open); }
  // How long the notice tells of a written file; tests shorten it.
  void SetWrittenNoticeTime(std::chrono::milliseconds time);

  // How "Exit" ends the program, and how it ends when the save window hides after this window
  // was closed; tests replace it.
  void SetEndProgram(std::function<void()> end) { end_program_ = std::move(end); }
  // The save window, once "Write File" has shown it.
  Form6* SaveWindow() { return form6_.get(); }

 protected:
  // Closing the window (the unload): closes the device.
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // Gives the controls their texts, colours, fonts and tab order.
  void SetUpControls();
  void SetUpColours();
  // Makes the window usable with a screen reader and the keyboard alone: the window's role, a
  // visible focus, and the view's text for a screen reader.
  void SetUpAccessibility();
  // Connects the controls' events to their handlers: the one place where they meet.
  void ConnectControls();
  // The view's context menu: the view's actions in a menu that a screen reader names.
  void ShowViewMenu(const QPoint& at);

  // StatusSink: the status message, with the link's reason for it as its tooltip, and the notice
  // of lost data.
  void SetStatus(std::string_view text) override;
  void UpdateStatusTip();
  void DataLost(std::uint64_t total) override;
  // TickTimer: Timer1.
  void SetInterval(std::chrono::milliseconds interval) override;
  void Enable() override;
  void Disable() override;

  // Runs an event handler; an error escaping it is shown, and the program keeps running with
  // its collected lines.
  void Guarded(const std::function<void()>& handler);
  // Runs a tick; an error escaping it is logged and shown in a notice that does not stop the
  // ticks, once until a tick succeeds or the error changes.
  void GuardedTick();
  void TickFailed(const std::string& text);

  // The one notice the window shows the operator, apart from the status line: a non-modal box
  // (Prompt::Notify) that never holds up the ticks. It carries one fact of each kind, in the
  // order of the kinds; a new or changed fact shows it again with every fact that still holds,
  // so that none pushes another off the screen.
  enum class NoticeKind { kTickError, kLostData, kFullStore, kWritten };
  void ShowNotice(NoticeKind kind, const std::string& text);
  // Every fact that holds, in the order of the kinds.
  std::string NoticeText() const;
  // The fact of `kind` no longer holds: the notice still on the screen keeps the others, and
  // closes when none is left.
  void WithdrawNotice(NoticeKind kind);
  // Once per fill of the store: when it reaches its last line, the notice says that further
  // text joins that line, and where the capture keeps every line.
  void NoteFullStore();
  // A data file was written to `path`: the notice says so for a few seconds.
  void NoteWritten(const QString& path);
  // The capture files' folder; empty without a capture.
  QString FolderOfCaptures() const;

  // The controls, under the names the program has always given them (also their object names).
  QPushButton* const TODC;
  QPushButton* const Reset;
  VerticalScrollBar* const VScroll1;
  QPushButton* const WriteFile;
  PictureBox* const Picture1;
  QPushButton* const Exit;
  QTimer* const Timer1;
  StatusLabel* const MessUSB;
  // The view's copy command (Ctrl+C and its context menu).
  QAction* const CopyAllLines;
  // The view's context menu command that shows the capture folder.
  QAction* const OpenCaptureFolder;
  // Ends the notice of a written file.
  QTimer* const WrittenNoticeTimer;

  Prompt& prompt_;
  CaptureLog* const capture_log_;
  Acquisition core_;
  std::unique_ptr<Form6> form6_;
  std::function<void()> end_program_;
  // The error of the last tick that failed; empty after a tick that did not.
  std::string tick_error_;
  // The facts the notice carries, by kind.
  std::map<NoticeKind, std::string> notices_;
  // The store's fill reached its last line and the notice said so; until "Clear Data".
  bool full_noticed_ = false;
  bool simulated_ = false;
  std::function<bool(const QUrl&)> open_folder_;
};

}  // namespace tessun
