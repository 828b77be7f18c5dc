// Answers the next modal dialog of a given class from inside its exec():
// a zero-interval timer waits for the dialog to become the active modal
// widget and the active window (so that its focus is set), then hands it
// to the answer once. The timer dies with its owner,
// so an answer whose dialog never opened does not leak into the next case.
#pragma once

#include <QApplication>
#include <QTimer>

#include <memory>

template <class TForm, class TAnswer>
std::unique_ptr<QTimer> AnswerModal(TAnswer Answer) {
  auto Timer = std::make_unique<QTimer>();
  QTimer* Raw = Timer.get();
  QObject::connect(Raw, &QTimer::timeout, Raw, [Raw, Answer] {
    auto* Form = qobject_cast<TForm*>(QApplication::activeModalWidget());
    if (!Form || !Form->isActiveWindow()) return;
    Raw->stop();
    Answer(*Form);
  });
  Timer->start(0);
  return Timer;
}
