#include "app/WindowLook.h"

#include <QApplication>
#include <QFontDatabase>
#include <QScreen>
#include <QStyleFactory>
#include <QWidget>

namespace {

// Loaded once per process; empty when the file is missing or unreadable.
const QString& LoadedFamily() {
    static const QString family = [] {
        int id = QFontDatabase::addApplicationFont(WindowFontFile());
        if (id < 0)
            return QString();
        QStringList families = QFontDatabase::applicationFontFamilies(id);
        return families.isEmpty() ? QString() : families.first();
    }();
    return family;
}

QFont MakeFont(int pixels) {
    const QString& family = LoadedFamily();
    if (family.isEmpty()) {
        QFont fallback("DejaVu Sans");
        fallback.setStretch(QFont::Condensed);
        fallback.setPixelSize(11);
        return fallback;
    }
    QFont font(family);
    font.setPixelSize(pixels);
    // Plain glyphs, as the bitmap original drew them: the replacement has a ligature that
    // would turn the "TM" of "ATM1" into a trademark sign.
    font.setStyleStrategy(QFont::PreferNoShaping);
    return font;
}

} // namespace

QString WindowFontFile() {
    return QStringLiteral("/usr/share/wine/fonts/ms_sans_serif.ttf");
}

void SetApplicationIdentity() {
    QCoreApplication::setApplicationName("Lumisk");
}

void CentreOnScreen(QWidget& window) {
    const QScreen* screen = window.screen() ? window.screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    QRect frame = window.frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    window.move(frame.topLeft());
}

void UseClassicStyle(QApplication& app) {
    if (QStyle* style = QStyleFactory::create("Windows"))
        app.setStyle(style);
    // Dialogs use the small font; the main window sets its own.
    app.setFont(DialogFont());
}

QFont WindowFont() {
    return MakeFont(12);
}

QFont DialogFont() {
    return MakeFont(11);
}
