import QtQuick
import QtQuick.Controls

// The main action of a row, filled with the tint.
PressableButton {
    highlighted: true
    leftPadding: 10
    rightPadding: 10
    palette.button: VisualStyle.tint
    palette.buttonText: "white"
    palette.highlight: VisualStyle.tint
    palette.highlightedText: "white"
    icon.color: "white"
    opacity: enabled ? 1.0 : 0.45
    background: Rectangle {
        implicitWidth: 64
        implicitHeight: 28
        radius: 6
        color: parent.down ? Qt.darker(VisualStyle.tint, 1.2) : VisualStyle.tint
    }
}
