import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The main window: the accounts beside every recent code.
StyledWindow {
    id: window

    required property QtObject store

    objectName: "larkpin.main"
    title: "Larkpin"
    width: 840
    height: 560
    minimumWidth: 760
    minimumHeight: 500

    SplitView {
        anchors.fill: parent

        // Sidebar
        Pane {
            objectName: "sidebar"
            SplitView.minimumWidth: 190
            SplitView.preferredWidth: 220
            padding: 10

            ColumnLayout {
                width: parent.width
                spacing: 6
                Label {
                    text: "Accounts"
                    color: VisualStyle.secondary
                    font.pixelSize: VisualStyle.captionSize
                    font.bold: true
                }
                Repeater {
                    id: accountRows
                    model: window.store.accounts
                    delegate: RowLayout {
                        required property string accountID
                        required property string email
                        required property bool isEnabled
                        objectName: "accountRow"
                        spacing: 4
                        Layout.fillWidth: true
                        TintedIcon { symbol: "envelope.badge.shield.half.filled"; color: VisualStyle.tint }
                        Label { text: email; elide: Text.ElideRight; Layout.fillWidth: true }
                        IconButton {
                            objectName: "pauseButton"
                            text: isEnabled ? "Pause" : "Resume"
                            icon.source: VisualStyle.iconSource(isEnabled ? "pause" : "play")
                            ToolTip.text: text
                            onClicked: window.store.setAccountEnabled(accountID, !isEnabled)
                        }
                        IconButton {
                            objectName: "disconnectButton"
                            text: "Disconnect"
                            icon.source: VisualStyle.iconSource("xmark")
                            ToolTip.text: text
                            onClicked: window.store.disconnectAccount(accountID)
                        }
                    }
                }
                PressableButton {
                    objectName: "connectButton"
                    text: "Connect Gmail"
                    flat: true
                    enabled: !window.store.isConnecting
                    onClicked: window.store.connectAccount()
                }
            }
        }

        // Detail
        Pane {
            SplitView.fillWidth: true
            padding: 20
            background: Rectangle { color: VisualStyle.material }

            ColumnLayout {
                anchors.fill: parent
                spacing: 10

                Label {
                    text: "Larkpin"
                    font.pixelSize: 28
                    font.bold: true
                }
                Label {
                    text: "Verification codes, exactly when you need them."
                    color: VisualStyle.secondary
                }
                ProminentButton {
                    objectName: "enableSuggestionsButton"
                    text: "Enable field suggestions"
                    visible: !window.store.isAccessibilityEnabled
                    onClicked: window.store.askForAccessibility()
                }
                RowLayout {
                    spacing: 10
                    BusyIndicator {
                        objectName: "syncProgress"
                        visible: window.store.isSyncing
                        running: visible
                        Layout.preferredWidth: 20
                        Layout.preferredHeight: 20
                    }
                    PressableButton {
                        objectName: "refreshButton"
                        text: "Refresh"
                        icon.source: VisualStyle.iconSource("arrow.clockwise")
                        icon.color: palette.buttonText
                        enabled: !window.store.isSyncing && accountRows.count > 0
                        onClicked: window.store.refresh()
                    }
                    PressableSwitch {
                        objectName: "suggestionsSwitch"
                        text: "Suggestions"
                        checked: window.store.isMonitoring
                        onToggled: window.store.isMonitoring = checked
                    }
                }
                Label {
                    objectName: "statusMessage"
                    text: window.store.statusMessage
                    color: VisualStyle.secondary
                    font.pixelSize: VisualStyle.captionSize
                }

                EmptyState {
                    objectName: "emptyState"
                    visible: codeCards.count === 0
                    Layout.fillWidth: true
                    Layout.fillHeight: true
                }
                ScrollView {
                    id: scroller
                    visible: codeCards.count > 0
                    clip: true
                    contentWidth: availableWidth
                    Layout.fillWidth: true
                    Layout.fillHeight: true

                    GridLayout {
                        // Adaptive columns at least 280 wide.
                        width: scroller.availableWidth
                        columns: Math.max(1, Math.floor((width + 14) / (280 + 14)))
                        columnSpacing: 14
                        rowSpacing: 14
                        Repeater {
                            id: codeCards
                            model: window.store.recentCodes
                            delegate: CodeCard {
                                store: window.store
                                Layout.fillWidth: true
                                Layout.minimumWidth: 280
                            }
                        }
                    }
                }
            }
        }
    }
}
