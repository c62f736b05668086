// What the program's dialogs share: the pale green background, 8-point text, and placement in dialog units.
#pragma once

#include <QColor>
#include <QFont>
#include <QFontMetrics>
#include <QPalette>
#include <QRect>
#include <QWidget>

inline const QColor kDialogBackground{190, 240, 190};

// The background on the window and its buttons, and the dialog font at 8 points.
inline void ApplyDialogLook(QWidget& dialog) {
    QFont dialogFont = dialog.font();
    dialogFont.setPointSize(8);
    dialog.setFont(dialogFont);
    QPalette colors = dialog.palette();
    colors.setColor(QPalette::Window, kDialogBackground);
    colors.setColor(QPalette::Button, kDialogBackground);
    dialog.setPalette(colors);
    dialog.setAutoFillBackground(true);
}

// A rectangle in dialog units: a quarter of the font's average character width across, an eighth of its
// height down.
inline QRect DialogUnits(const QWidget& dialog, int x, int y, int width, int height) {
    const QFontMetrics metrics(dialog.font());
    const int charWidth = metrics.averageCharWidth();
    const int charHeight = metrics.height();
    return QRect(x * charWidth / 4, y * charHeight / 8, width * charWidth / 4, height * charHeight / 8);
}
