#pragma once

#include <cstdint>

class QWidget;

// Finds a close request from the desktop while the X11 plugin's event queue is left alone. Qt counts
// WM_DELETE_WINDOW as user input and moves it out of sight once a loop that excludes input has seen it, so a
// wait that must hold the input but answer a close looks into the queue instead of processing it.
class DesktopClose {
  public:
    bool available() const;  // on X11 only: elsewhere closes come as window events
    bool requested(const QWidget& window);

  private:
    std::uint32_t protocols_ = 0;  // the atoms, once looked up
    std::uint32_t deleteWindow_ = 0;
};
