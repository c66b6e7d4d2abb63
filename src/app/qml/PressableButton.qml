import QtQuick
import QtQuick.Controls

// A button that assistive technology can press: Qt 6.4 offers its buttons' "Press" action but does
// not click them for it, so the click is emitted here (once: a handled action ends Qt's own handling).
Button {
    Accessible.onPressAction: if (enabled) clicked()
}
