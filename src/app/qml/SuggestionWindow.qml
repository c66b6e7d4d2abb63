import QtQuick

// The suggestion panel's window: frameless and clear around the card's shadow, and never activated,
// so that the keyboard focus stays in the field the panel serves. Sized by the application.
StyledWindow {
    readonly property Item view: content

    objectName: "larkpin.suggestions"
    title: "Larkpin suggestions"
    flags: Qt.Tool | Qt.FramelessWindowHint | Qt.WindowStaysOnTopHint | Qt.WindowDoesNotAcceptFocus
    color: content.translucent ? "transparent" : VisualStyle.window

    SuggestionView { id: content }
}
