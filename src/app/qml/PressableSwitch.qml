import QtQuick
import QtQuick.Controls

// A switch that assistive technology can toggle: for its "Toggle" and "Press" actions Qt 6.4 only
// flips `checked`, without `toggled`, so the handlers that act on a toggle never run.
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
