#include "ui/LengthLimit.h"

#include "ui/PropertyPage.h"

#include <QLineEdit>

CLengthLimit::CLengthLimit(QLineEdit& rEdit, int nLimit)
    : QValidator(&rEdit), m_nLimit(nLimit), m_nKnownLength(static_cast<int>(rEdit.text().size())) {
    // A change is validated before the box takes it, so the length of the
    // text in place is kept here.
    connect(&rEdit, &QLineEdit::textChanged, this,
            [this](const QString& strText) { m_nKnownLength = static_cast<int>(strText.size()); });
}

QValidator::State CLengthLimit::validate(QString& rInput, int& /*rPosition*/) const {
    // Growing past the limit is refused; shortening an over-long text is not.
    if (rInput.size() > m_nLimit && rInput.size() > m_nKnownLength)
        return Invalid;
    return Acceptable;
}

void CLengthLimit::Apply(QLineEdit& rEdit, int nLimit) {
    rEdit.setValidator(new CLengthLimit(rEdit, nLimit));
}

bool CLengthLimit::Check(QLineEdit& rEdit, int nLimit) {
    if (rEdit.text().size() <= nLimit)
        return true;
    ShowFrameworkMessage(rEdit.window(),
                         QStringLiteral("Please enter no more than %1 characters.").arg(nLimit));
    rEdit.setFocus();
    rEdit.selectAll();
    return false;
}
