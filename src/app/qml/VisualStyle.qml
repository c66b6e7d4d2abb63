pragma Singleton
import QtQuick

// The colours, sizes and the shared clock every view draws with. Every colour but the tint and the
// two signal colours comes from the desktop's palette, so light and dark desktops both stay
// readable; StyledWindow hands the same colours to the controls.
QtObject {
    id: style

    readonly property color tint: Qt.rgba(0.46, 0.33, 0.96, 1.0)
    readonly property color countdownWarning: "#f28c18"
    readonly property color success: "#2fa84f"

    readonly property SystemPalette palette: SystemPalette { colorGroup: SystemPalette.Active }
    readonly property SystemPalette disabled: SystemPalette { colorGroup: SystemPalette.Disabled }
    readonly property color window: palette.window
    readonly property color base: palette.base
    readonly property color text: palette.text
    readonly property color primary: palette.windowText
    readonly property color secondary: Qt.rgba(primary.r, primary.g, primary.b, 0.62)
    readonly property color tertiary: Qt.rgba(primary.r, primary.g, primary.b, 0.42)
    readonly property color quaternary: Qt.rgba(primary.r, primary.g, primary.b, 0.1)
    readonly property color separator: Qt.rgba(primary.r, primary.g, primary.b, 0.14)
    readonly property color material: Qt.rgba(base.r, base.g, base.b, 0.72)

    readonly property int spacing: 12
    readonly property int padding: 14
    readonly property int captionSize: 11
    readonly property int calloutSize: 13
    readonly property int headlineSize: 14
    readonly property int title3Size: 18
    readonly property int titleSize: 22

    // One clock for every countdown and relative time: it turns over once per second.
    property date now: new Date()
    readonly property Timer clock: Timer {
        interval: 1000
        repeat: true
        running: true
        onTriggered: style.now = new Date()
    }

    function iconSource(name) {
        return "qrc:/larkpin/icons/" + name + ".svg"
    }

    // Minutes and seconds counting down to `date`, like a timer: "9:05", "0:00" once past.
    function timerText(date, now) {
        const left = Math.max(0, Math.ceil((date.getTime() - now.getTime()) / 1000))
        const minutes = Math.floor(left / 60)
        const seconds = left % 60
        return minutes + ":" + (seconds < 10 ? "0" : "") + seconds
    }

    // "5 minutes ago", with full unit words, and the named forms where one unit has a name:
    // "yesterday", "last week", "next month".
    function relativeText(date, now) {
        const seconds = Math.round((now.getTime() - date.getTime()) / 1000)
        const units = [[31536000, "year"], [2592000, "month"], [604800, "week"], [86400, "day"],
                       [3600, "hour"], [60, "minute"], [1, "second"]]
        const past = seconds >= 0
        const magnitude = Math.abs(seconds)
        if (magnitude < 1)
            return "now"
        for (const [size, name] of units) {
            if (magnitude >= size) {
                const count = Math.floor(magnitude / size)
                if (count === 1 && name === "day")
                    return past ? "yesterday" : "tomorrow"
                if (count === 1 && size > 86400)
                    return (past ? "last " : "next ") + name
                const words = count + " " + name + (count === 1 ? "" : "s")
                return past ? words + " ago" : "in " + words
            }
        }
        return "now"
    }
}
