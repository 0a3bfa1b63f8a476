#include "core/acquisition.h"

namespace tessun {

Acquisition::Acquisition(DevicePort& port, Clock& clock, TickTimer& timer, StatusSink& status,
                         TextCanvas& canvas, ScrollBar& bar)
    : clock_(clock),
      Timer1_(timer),
      Picture1_(canvas),
      view_(store_, canvas, bar),
      link_(port, store_, status, &clock) {}

void Acquisition::StartUp() {
  Timer1_.SetInterval(kTickInterval);
  Timer1_.Disable();
  link_.DeviceFound = link_.OpenUsbDevice();
  view_.ViewLast = 0;
  Timer1_.Enable();
  // The clock is monotonic, so a wait across midnight still ends on time.
  clock_.WaitFor(kStartupWait);
  store_.EmptyLines();
  Picture1_.Cls();
}

void Acquisition::Tick() {
  store_.NewData = 0;
  link_.ReadReports();
  store_.AssembleLines();
  if (store_.NewData > 0) {
    view_.RefreshDataView();
    store_.NewData = 0;
  }
}

void Acquisition::GetData() {
  Timer1_.Disable();
  struct EnableAgain {
    TickTimer& timer;
    ~EnableAgain() { timer.Enable(); }
  } enable_again{Timer1_};
  clock_.WaitFor(kGetDataWait);
  link_.SendCommand(kGetDataCommand);
}

void Acquisition::ClearData() {
  store_.EmptyLines();
  Picture1_.Cls();
}

void Acquisition::ScrollChanged() {
  view_.VScroll1_Change();
}

void Acquisition::CloseDevice() {
  link_.CloseDevice();
}

}  // namespace tessun
