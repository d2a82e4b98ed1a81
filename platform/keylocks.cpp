#include "keylocks.h"

#include <QGuiApplication>

#if defined(TARNWICK_HAVE_X11) && QT_CONFIG(xcb)
#include <X11/XKBlib.h>

namespace {
bool indicatorLit(Display *display, const char *name)
{
    const Atom atom = XInternAtom(display, name, True);
    Bool on = False;
    if (atom == 0 || !XkbGetNamedIndicator(display, atom, nullptr, &on, nullptr, nullptr))
        return false;
    return on;
}
} // namespace

std::optional<KeyLocks> currentKeyLocks()
{
    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    Display *display = x11 ? x11->display() : nullptr;
    if (!display)
        return std::nullopt;
    return KeyLocks{indicatorLit(display, "Scroll Lock"), indicatorLit(display, "Num Lock"),
                    indicatorLit(display, "Caps Lock")};
}
#else
std::optional<KeyLocks> currentKeyLocks()
{
    return std::nullopt;
}
#endif
