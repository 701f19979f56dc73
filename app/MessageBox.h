#pragma once
// Operator messages as message boxes, with the answers the engine expects.
#include <string>

class QWidget;

namespace app {

// Message-box answers.
inline constexpr int kAnswerOk = 1;
inline constexpr int kAnswerYes = 6;
inline constexpr int kAnswerNo = 7;

// Shows `text` in a modal box captioned by its ProgramMessageKind; a question
// asks Yes/No, every other kind has an OK button. Returns the answer.
int iShowMessageBox(QWidget* parent, const std::string& text, int kind);

}  // namespace app
