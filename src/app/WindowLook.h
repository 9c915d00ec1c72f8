// The look of the box's windows: Qt's "Windows" style, whose small control heights fit the
// layout, and "MS Sans Serif" from the free replacement in Debian's fonts-wine.
#pragma once

#include <QFont>
#include <QString>

class QApplication;
class QWidget;

// Names the application "Lumisk" and sets no display name: Qt's X11 and Wayland windows append
// a display name to every title bar ("Vexa 1.36 — Lumisk"), and the caption must stand alone.
void SetApplicationIdentity();

// Places a top-level window in the middle of the screen's free area (the screen it is on, else
// the primary one).
void CentreOnScreen(QWidget& window);

// Sets the "Windows" style and the dialog font on the application (call once, before windows
// are built).
void UseClassicStyle(QApplication& app);

// "MS Sans Serif" at 12 pixels; DejaVu Sans Condensed at 11 pixels when the font file is missing.
QFont WindowFont();

// The small dialog font ("MS Sans Serif" at 11 pixels, or the same fallback).
QFont DialogFont();

// Where the "MS Sans Serif" replacement is looked for.
QString WindowFontFile();
