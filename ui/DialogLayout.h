// Builds a window's controls from its dialog template: rectangles in dialog
// units converted to pixels from the dialog font, controls created in
// template order (which is their tab order), labels made the buddies of the
// boxes they name, and every control named for assistive technology.
#pragma once

#include <QFont>
#include <QHash>
#include <QList>
#include <QRect>
#include <QSize>

class QWidget;
struct SDialogTemplate;

// The dialog font: the desktop's sans serif font at 8 points.
QFont DialogFont();
// Dialog base units of a font: the average width of the alphabet's letters
// and the character height, as Windows derives them.
QSize DialogBaseUnits(const QFont& font);
// A rectangle in dialog units as pixels: x * width / 4, y * height / 8.
QRect MapDialogRect(const QSize& baseUnits, int x, int y, int cx, int cy);

class CDialogLayout {
public:
    // Sets the window's font, caption and fixed size from template nTemplateId
    // and creates its controls as children of rWindow.
    CDialogLayout(QWidget& rWindow, int nTemplateId);

    // The control with this id (null for an unknown id).
    QWidget* Control(int nId) const { return m_controls.value(nId); }
    // Every control, in template order (those without an id too).
    const QList<QWidget*>& Controls() const { return m_all; }
    template <class T> T* Get(int nId) const { return qobject_cast<T*>(Control(nId)); }
    QSize BaseUnits() const { return m_baseUnits; }
    QRect Map(int x, int y, int cx, int cy) const {
        return MapDialogRect(m_baseUnits, x, y, cx, cy);
    }

private:
    QWidget* Create(QWidget& rWindow, const struct SControlTemplate& control);

    const SDialogTemplate* m_pTemplate = nullptr;
    QSize m_baseUnits;
    QHash<int, QWidget*> m_controls;
    QList<QWidget*> m_all;
};
