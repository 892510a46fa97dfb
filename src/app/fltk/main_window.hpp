#pragma once
// The operator's window with FLTK 1.3. The window model decides everything; this class only
// shows the model's state and feeds it the native events.

#include <FL/Fl_Window.H>

#include <cstddef>
#include <memory>

#include "ui/main_form.hpp"

class Fl_Box;
class Fl_Widget;

namespace tarnwick::app {

class SetpointInput;
class ExitButton;

class MainWindow {
 public:
  // Needs the display open: lays the controls out at its DPI.
  explicit MainWindow(ui::MainForm& form);
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  // Raises Form_Load, shows the window and runs FLTK until it closes; the exit status.
  int Run();

 private:
  int Pixels(int twips) const { return ui::TwipsToPixels(twips, dpi_); }

  void Build();
  void AddControl(std::size_t index, int fontSize);

  // Every event goes to the model, then the widgets show what the model holds.
  template <typename Handler>
  void Raise(Handler&& handler);
  // A failure escaped a handler: stop the timer, show the one message, end the program.
  void Fail(const char* message);
  void Sync();
  // The operator changed the text (typed, deleted, pasted, undid): the model hears of it.
  void EntryEventDone();

  static void OnTimer(void* data);
  static void OnExitButton(Fl_Widget*, void* data);
  static void OnWindowCallback(Fl_Widget* window, void*);

  ui::MainForm& form_;
  bool trace_ = false;
  int dpi_ = 0;                        // set before anything is laid out
  std::unique_ptr<Fl_Window> window_;  // owns the widgets below
  Fl_Box* serial_ = nullptr;
  Fl_Box* milliamps_ = nullptr;
  SetpointInput* entry_ = nullptr;
  ExitButton* exit_ = nullptr;
};

}  // namespace tarnwick::app
