import QtQuick
import QtQuick.Controls

// A switch that assistive technology can toggle: Qt 6.4 offers its "Toggle" and "Press" actions but
// does not toggle it as a click does (no `toggled`), so the handlers that act on a toggle never ran.
Switch {
    function accessibleToggle()
    {
        if (enabled) {
            toggle()
            toggled()
        }
    }
    Accessible.onPressAction: accessibleToggle()
    Accessible.onToggleAction: accessibleToggle()
}
