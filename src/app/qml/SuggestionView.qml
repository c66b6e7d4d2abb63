import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The panel beside a focused code field: the newest codes, one click fills one. Nothing in it takes
// the keyboard focus, which must stay in the field it serves.
Item {
    id: view

    // Each {value, issuer, accountEmail, expiresAt}, in display order; at most 3 are listed.
    property var codes: []
    property bool isSyncing: false
    property bool isRefreshing: false
    property string errorMessage: ""
    property date lastUpdatedAt: new Date(NaN) // invalid: no complete sync yet
    readonly property bool isBusy: isSyncing || isRefreshing
    readonly property bool hasSynced: !isNaN(lastUpdatedAt.getTime())

    signal refreshRequested()
    signal fillRequested(int row)

    // A clear margin with the card's shadow and round corners need a compositing manager; without
    // one the clear pixels show black, so the card fills its window, square.
    property bool translucent: true
    // Room for the shadow, no wider than the gap to the field, so that the window never lies over it.
    readonly property int shadowMargin: translucent ? 8 : 0
    readonly property color orange: VisualStyle.countdownWarning

    width: 340 + 2 * shadowMargin
    height: column.implicitHeight + 2 * shadowMargin

    function lastUpdatedText(now) {
        return hasSynced ? "Last updated " + VisualStyle.relativeText(lastUpdatedAt, now) : "Not synced yet"
    }

    component Divider: Rectangle {
        color: VisualStyle.separator
        implicitHeight: 1
        Layout.fillWidth: true
    }

    // A soft shadow, darker towards the card.
    Repeater {
        model: view.shadowMargin
        Rectangle {
            required property int index
            readonly property int spread: view.shadowMargin - index
            x: view.shadowMargin - spread
            y: view.shadowMargin - spread + 3
            width: 340 + 2 * spread
            height: column.implicitHeight + 2 * spread - 3
            radius: 13 + spread
            color: Qt.rgba(0, 0, 0, 0.24 / view.shadowMargin)
        }
    }

    Rectangle {
        id: card
        x: view.shadowMargin
        y: view.shadowMargin
        width: 340
        height: column.implicitHeight
        radius: view.translucent ? 13 : 0
        color: VisualStyle.palette.window
        border.width: 1
        border.color: VisualStyle.separator
        clip: true

        ColumnLayout {
            id: column
            width: parent.width
            spacing: 0

            Rectangle {
                objectName: "topBlock"
                color: Qt.tint(card.color, VisualStyle.quaternary) // opaque: its two parts overlap
                radius: card.radius
                Layout.fillWidth: true
                implicitHeight: top.implicitHeight + 18
                // Square lower corners: only the card's upper ones are round.
                Rectangle {
                    color: parent.color
                    anchors { left: parent.left; right: parent.right; bottom: parent.bottom }
                    height: parent.radius
                }

                ColumnLayout {
                    id: top
                    spacing: 7
                    anchors { fill: parent; leftMargin: 14; rightMargin: 14; topMargin: 9; bottomMargin: 9 }

                    RowLayout {
                        spacing: 7
                        TintedIcon { symbol: "lock.shield.fill"; color: VisualStyle.tint; size: 15 }
                        Label {
                            text: "Verification code available"
                            color: VisualStyle.primary
                            font.pixelSize: VisualStyle.captionSize
                            font.weight: Font.DemiBold
                        }
                        Item { Layout.fillWidth: true }
                        // A turning refresh arrow: the toolkit's busy indicator fades in through
                        // an animator, which a grabbed picture never shows.
                        TintedIcon {
                            objectName: "refreshSpinner"
                            visible: view.isBusy
                            symbol: "arrow.clockwise"
                            size: 13
                            color: VisualStyle.secondary
                            Layout.margins: 5
                            Accessible.role: Accessible.Animation
                            Accessible.name: "Refreshing Gmail"
                            RotationAnimation on rotation {
                                running: view.isBusy
                                from: 0
                                to: 360
                                duration: 1000
                                loops: Animation.Infinite
                            }
                        }
                        IconButton {
                            objectName: "refreshButton"
                            visible: !view.isBusy
                            text: "Refresh"
                            icon.source: VisualStyle.iconSource("arrow.clockwise")
                            icon.width: 13
                            icon.height: 13
                            focusPolicy: Qt.NoFocus
                            activeFocusOnTab: false
                            ToolTip.text: "Refresh connected Gmail accounts"
                            Accessible.name: "Refresh verification codes"
                            onClicked: view.refreshRequested()
                        }
                    }

                    RowLayout {
                        spacing: 6
                        Label {
                            objectName: "lastUpdated"
                            text: view.lastUpdatedText(VisualStyle.now)
                            color: VisualStyle.secondary
                            font.pixelSize: VisualStyle.captionSize - 1
                            HoverHandler { id: lastUpdatedHover }
                            ToolTip.visible: lastUpdatedHover.hovered
                            ToolTip.delay: 500
                            ToolTip.text: view.hasSynced
                                          ? "Last updated " + Qt.formatDateTime(view.lastUpdatedAt, "MMM d, yyyy 'at' h:mm:ss AP")
                                          : "No connected Gmail account has completed a sync"
                            Accessible.name: view.hasSynced ? "Last updated" : text
                            Accessible.description: view.hasSynced
                                                    ? Qt.formatDateTime(view.lastUpdatedAt, "dddd, MMMM d, yyyy 'at' h:mm:ss AP")
                                                    : ""
                        }
                        Label {
                            text: "Click to fill"
                            color: VisualStyle.tertiary
                            font.pixelSize: VisualStyle.captionSize - 1
                        }
                    }
                }
            }

            Divider { visible: view.errorMessage !== "" }
            Rectangle {
                objectName: "failureRow"
                visible: view.errorMessage !== ""
                color: Qt.rgba(view.orange.r, view.orange.g, view.orange.b, 0.08)
                Layout.fillWidth: true
                implicitHeight: failure.implicitHeight + 16
                Accessible.role: Accessible.Grouping
                Accessible.name: "Refresh failed. " + view.errorMessage
                Accessible.description: "Choose Retry to refresh connected Gmail accounts again"

                RowLayout {
                    id: failure
                    spacing: 8
                    anchors { fill: parent; leftMargin: 14; rightMargin: 14; topMargin: 8; bottomMargin: 8 }
                    TintedIcon { symbol: "exclamationmark.triangle.fill"; color: view.orange; size: 14 }
                    Label {
                        objectName: "errorText"
                        text: view.errorMessage
                        color: VisualStyle.secondary
                        font.pixelSize: VisualStyle.captionSize
                        wrapMode: Text.Wrap
                        Layout.fillWidth: true
                    }
                    PressableButton {
                        objectName: "retryButton"
                        text: "Retry"
                        enabled: !view.isBusy
                        focusPolicy: Qt.NoFocus
                        activeFocusOnTab: false
                        font.pixelSize: VisualStyle.captionSize
                        padding: 4
                        implicitWidth: implicitContentWidth + 20
                        onClicked: view.refreshRequested()
                    }
                }
            }

            Divider {}
            Repeater {
                model: view.codes.slice(0, 3)
                ColumnLayout {
                    id: entry
                    required property var modelData
                    required property int index
                    spacing: 0
                    Layout.fillWidth: true

                    Divider { visible: entry.index > 0; Layout.leftMargin: 50 }
                    AbstractButton {
                        objectName: "codeRow"
                        focusPolicy: Qt.NoFocus
                        activeFocusOnTab: false
                        hoverEnabled: true
                        Layout.fillWidth: true
                        leftPadding: 14
                        rightPadding: 14
                        topPadding: 11
                        bottomPadding: 11
                        Accessible.name: "Fill code " + entry.modelData.value + " from " + entry.modelData.issuer
                        Accessible.description: "Fills the focused verification code field before the countdown ends and marks this code used"
                        onClicked: view.fillRequested(entry.index)
                        Accessible.onPressAction: if (enabled) clicked() // Qt 6.4 ignores the press otherwise

                        background: Rectangle { color: parent.down ? VisualStyle.separator : parent.hovered ? VisualStyle.quaternary : "transparent" }
                        contentItem: RowLayout {
                            spacing: 12
                            TintedIcon { symbol: "arrow.right.circle.fill"; color: VisualStyle.tint; size: 22 }
                            ColumnLayout {
                                spacing: 2
                                Layout.fillWidth: true
                                Label {
                                    objectName: "codeValue"
                                    text: entry.modelData.value
                                    color: VisualStyle.primary
                                    font.pixelSize: 22
                                    font.bold: true
                                    font.letterSpacing: 2
                                }
                                Label {
                                    text: entry.modelData.issuer + " \u00b7 " + entry.modelData.accountEmail
                                    color: VisualStyle.secondary
                                    font.pixelSize: VisualStyle.captionSize
                                    elide: Text.ElideRight
                                    Layout.fillWidth: true
                                }
                            }
                            Countdown { expiresAt: entry.modelData.expiresAt; Layout.leftMargin: 8 }
                        }
                    }
                }
            }
        }
    }
}
