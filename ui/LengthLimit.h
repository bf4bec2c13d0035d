// The length limit of an edit box, as Windows keeps it: typing or pasting
// beyond the limit is refused, but a longer text put into the box by the
// program (from a stored record, or from the folder picker) stays whole, so
// that the check at OK can refuse it with its message.
#pragma once

#include <QValidator>

class QLineEdit;

class CLengthLimit : public QValidator {
public:
    CLengthLimit(QLineEdit& rEdit, int nLimit);
    State validate(QString& rInput, int& rPosition) const override;
    int Limit() const { return m_nLimit; }

    // Installs the limit on the box.
    static void Apply(QLineEdit& rEdit, int nLimit);
    // At OK: false, with the framework's message and the box focused, when
    // the box holds more than its limit.
    static bool Check(QLineEdit& rEdit, int nLimit);

private:
    int m_nLimit;
    // The length of the text the box holds, however it got there.
    int m_nKnownLength = 0;
};
