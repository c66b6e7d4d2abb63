import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The tray panel: fresh codes, recently used ones, the Gmail accounts and the controls. A frameless
// window that the application places beside the tray icon and hides when it loses the focus.
StyledWindow {
    id: menu

    required property QtObject store
    // What only the application shell can do.
    signal openAppRequested()
    signal settingsRequested()
    signal aboutRequested()
    signal quitRequested()

    readonly property int freshCount: freshRows.count

    objectName: "larkpin.menu"
    title: "Larkpin"
    flags: Qt.Tool | Qt.FramelessWindowHint | Qt.WindowStaysOnTopHint
    width: 360
    height: column.implicitHeight + 2 * VisualStyle.padding

    // Small enough for the switch and the four buttons to share one row.
    component SmallButton: PressableButton {
        font.pixelSize: VisualStyle.captionSize
        topPadding: 4
        bottomPadding: 4
        leftPadding: 4
        rightPadding: 4
        implicitWidth: implicitContentWidth + leftPadding + rightPadding
    }
    // Pressable by assistive technology, as PressableButton is (a click triggers a menu item).
    component PressableMenuItem: MenuItem {
        Accessible.onPressAction: if (enabled) clicked()
    }

    ColumnLayout {
        id: column
        x: VisualStyle.padding
        y: VisualStyle.padding
        width: menu.width - 2 * VisualStyle.padding
        spacing: VisualStyle.spacing

        // Header
        RowLayout {
            spacing: 10
            Layout.fillWidth: true
            TintedIcon {
                objectName: "headerIcon"
                symbol: menu.freshCount > 0 ? "lock.shield.fill" : "lock.shield"
                size: VisualStyle.titleSize
                color: menu.freshCount > 0 ? VisualStyle.tint : VisualStyle.secondary
            }
            ColumnLayout {
                spacing: 1
                Layout.fillWidth: true
                Label {
                    objectName: "headline"
                    text: menu.freshCount > 0 ? menu.freshCount + " fresh code" + (menu.freshCount === 1 ? "" : "s")
                                              : "Larkpin"
                    font.pixelSize: VisualStyle.headlineSize
                    font.bold: true
                }
                Label {
                    objectName: "syncSummary"
                    text: menu.store.syncSummary
                    color: VisualStyle.secondary
                    font.pixelSize: VisualStyle.captionSize
                    elide: Text.ElideRight
                    Layout.fillWidth: true
                }
            }
            BusyIndicator {
                objectName: "syncProgress"
                visible: menu.store.isSyncing
                running: visible
                Layout.preferredWidth: 18
                Layout.preferredHeight: 18
            }
            IconButton {
                objectName: "refreshButton"
                text: "Refresh"
                icon.source: VisualStyle.iconSource("arrow.clockwise")
                ToolTip.text: "Refresh Gmail now"
                enabled: !menu.store.isSyncing
                onClicked: menu.store.refresh()
            }
        }

        // Fresh codes
        SectionTitle { text: "Fresh codes"; icon: "sparkles" }
        Row {
            visible: menu.freshCount === 0
            spacing: 6
            Layout.topMargin: 4
            Layout.bottomMargin: 4
            TintedIcon { symbol: "checkmark.circle"; color: VisualStyle.secondary; anchors.verticalCenter: parent.verticalCenter }
            Label {
                objectName: "waitingLabel"
                text: "Waiting for a new code"
                color: VisualStyle.secondary
                font.pixelSize: VisualStyle.calloutSize
            }
        }
        ColumnLayout {
            visible: menu.freshCount > 0
            spacing: 6
            Layout.fillWidth: true
            Repeater {
                id: freshRows
                model: menu.store.activeCodes
                delegate: ColumnLayout {
                    required property int index
                    required property string codeID
                    required property string value
                    required property string issuer
                    required property string accountEmail
                    required property date expiresAt
                    spacing: 6
                    Layout.fillWidth: true
                    Rectangle {
                        visible: index > 0
                        color: VisualStyle.separator
                        implicitHeight: 1
                        Layout.fillWidth: true
                    }
                    MenuCodeRow {
                        store: menu.store
                        codeID: parent.codeID
                        value: parent.value
                        issuer: parent.issuer
                        accountEmail: parent.accountEmail
                        expiresAt: parent.expiresAt
                        Layout.fillWidth: true
                    }
                }
            }
        }

        // Recently used
        ColumnLayout {
            objectName: "recentlyUsedSection"
            visible: usedRows.count > 0
            spacing: 6
            Layout.fillWidth: true
            SectionTitle { text: "Recently used" }
            Repeater {
                id: usedRows
                model: menu.store.usedCodes
                delegate: RowLayout {
                    required property string codeID
                    required property string value
                    required property string issuer
                    objectName: "usedCodeRow"
                    spacing: 8
                    Layout.fillWidth: true
                    Label { text: issuer; font.pixelSize: VisualStyle.calloutSize }
                    Label {
                        text: value
                        color: VisualStyle.secondary
                        font.pixelSize: VisualStyle.captionSize
                        maximumLineCount: 1
                        Layout.fillWidth: true
                    }
                    PressableButton {
                        objectName: "markUnusedButton"
                        text: "Mark unused"
                        onClicked: menu.store.setCodeUsed(codeID, false, "Restored code")
                    }
                }
            }
        }

        // Gmail accounts
        SectionTitle { text: "Gmail accounts"; icon: "envelope.badge.shield.half.filled" }
        Label {
            objectName: "noAccountsLabel"
            visible: accountRows.count === 0
            text: "Connect Gmail to receive verification codes."
            color: VisualStyle.secondary
            font.pixelSize: VisualStyle.captionSize
        }
        Repeater {
            id: accountRows
            model: menu.store.accounts
            delegate: RowLayout {
                required property string accountID
                required property string email
                required property bool isEnabled
                required property var lastSyncAt
                objectName: "accountRow"
                spacing: 8
                Layout.fillWidth: true
                IconButton {
                    objectName: "pauseButton"
                    text: isEnabled ? "Pause" : "Resume"
                    icon.source: VisualStyle.iconSource(isEnabled ? "checkmark.circle.fill" : "pause.circle")
                    icon.color: isEnabled ? VisualStyle.tint : VisualStyle.secondary
                    ToolTip.text: isEnabled ? "Pause this account" : "Resume this account"
                    onClicked: menu.store.setAccountEnabled(accountID, !isEnabled)
                }
                ColumnLayout {
                    spacing: 1
                    Layout.fillWidth: true
                    Label { text: email; elide: Text.ElideRight; Layout.fillWidth: true }
                    Label {
                        objectName: "syncedLabel"
                        text: lastSyncAt instanceof Date && !isNaN(lastSyncAt)
                              ? "Synced " + VisualStyle.relativeText(lastSyncAt, VisualStyle.now)
                              : "Not synced yet"
                        color: VisualStyle.secondary
                        font.pixelSize: VisualStyle.captionSize
                    }
                }
                IconButton {
                    objectName: "disconnectButton"
                    text: "Disconnect"
                    icon.source: VisualStyle.iconSource("xmark")
                    ToolTip.text: "Disconnect " + email
                    onClicked: menu.store.disconnectAccount(accountID)
                }
            }
        }
        PressableButton {
            objectName: "connectButton"
            text: "Connect another Gmail"
            icon.source: VisualStyle.iconSource("plus")
            icon.color: palette.buttonText
            flat: true
            enabled: !menu.store.isConnecting
            onClicked: menu.store.connectAccount()
        }

        // Controls
        Label {
            objectName: "statusMessage"
            text: menu.store.statusMessage
            color: VisualStyle.secondary
            font.pixelSize: VisualStyle.captionSize
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }
        Rectangle { color: VisualStyle.separator; implicitHeight: 1; Layout.fillWidth: true }
        // One line at the panel's width: small type, a narrow switch, tight spacing; the switch's
        // label gives way first where a wide font still overflows.
        RowLayout {
            spacing: 2
            Layout.fillWidth: true
            PressableSwitch {
                objectName: "monitoringSwitch"
                text: "Monitoring"
                font.pixelSize: VisualStyle.captionSize
                padding: 0
                spacing: 4
                indicator.width: 32
                checked: menu.store.isMonitoring
                onToggled: menu.store.isMonitoring = checked
                Layout.fillWidth: true
                Layout.minimumWidth: indicator.width
            }
            SmallButton {
                objectName: "enableAccessButton"
                text: "Enable Access"
                visible: !menu.store.isAccessibilityEnabled
                onClicked: menu.store.askForAccessibility()
            }
            SmallButton {
                objectName: "openAppButton"
                text: "Open App"
                onClicked: menu.openAppRequested()
            }
            SmallButton {
                objectName: "settingsButton"
                text: "Settings"
                onClicked: menu.settingsRequested()
            }
            IconButton {
                objectName: "moreButton"
                text: "More"
                padding: 3
                icon.source: VisualStyle.iconSource("ellipsis.circle")
                onClicked: moreMenu.open()
                // Above the button, right-aligned: the panel ends just below it.
                Menu {
                    id: moreMenu
                    x: parent.width - width
                    y: -height
                    PressableMenuItem { objectName: "aboutItem"; text: "About Larkpin"; onTriggered: menu.aboutRequested() }
                    MenuSeparator {}
                    PressableMenuItem { objectName: "quitItem"; text: "Quit Larkpin"; onTriggered: menu.quitRequested() }
                }
            }
        }
    }
}
