import QtQuick
import QtQuick.Controls

// A borderless button that shows only its icon; its text is the tooltip's fallback and its name
// for assistive technology.
PressableButton {
    display: AbstractButton.IconOnly
    flat: true
    icon.color: palette.buttonText
    padding: 5
    implicitWidth: implicitContentWidth + leftPadding + rightPadding
    implicitHeight: implicitContentHeight + topPadding + bottomPadding
    ToolTip.visible: hovered && ToolTip.text !== ""
    ToolTip.delay: 500
}
