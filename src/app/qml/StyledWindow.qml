import QtQuick
import QtQuick.Controls

// A Larkpin window. Its controls draw with the colours of VisualStyle: Quick Controls' Fusion style
// keeps a light palette of its own, which left dark text on the dark background of a dark desktop.
// Set on the window, not on an item, so that its popups (menus, tooltips) follow too.
ApplicationWindow {
    palette {
        window: VisualStyle.window
        base: VisualStyle.base
        alternateBase: VisualStyle.palette.alternateBase
        placeholderText: VisualStyle.palette.placeholderText
        button: VisualStyle.palette.button
        light: VisualStyle.palette.light
        midlight: VisualStyle.palette.midlight
        mid: VisualStyle.palette.mid
        dark: VisualStyle.palette.dark
        shadow: VisualStyle.palette.shadow
        highlight: VisualStyle.tint
        highlightedText: "white"
        link: VisualStyle.tint
        toolTipBase: VisualStyle.base
        toolTipText: VisualStyle.text
        // Text colours per group: one given for the whole palette would also replace the disabled ones.
        active {
            windowText: VisualStyle.primary
            text: VisualStyle.text
            buttonText: VisualStyle.palette.buttonText
        }
        inactive {
            windowText: VisualStyle.primary
            text: VisualStyle.text
            buttonText: VisualStyle.palette.buttonText
        }
        disabled {
            windowText: VisualStyle.disabled.windowText
            text: VisualStyle.disabled.text
            buttonText: VisualStyle.disabled.buttonText
        }
    }
}
