#pragma once

#include <string>

namespace larkpin::test {

/// A web page with a labelled code input (focused on load) and a "Name" input, inside a form that
/// also holds `fillers` other elements. Whatever the code input holds shows in the page's title,
/// "value:" + text, so that a test can read it back from the window.
inline std::string codePage(int fillers) {
    std::string page = R"(<!doctype html><html><head><meta charset="utf-8"><title>value:</title></head><body>
<form><label for="code-input">Verification code</label><input id="code-input" autocomplete="one-time-code" autofocus
  oninput="document.title = 'value:' + this.value"><label for="name-input">Name</label><input id="name-input">
)";
    for (int i = 0; i < fillers; ++i)
        page += (i % 2 ? "<span>Filler " : "<div>Filler ") + std::to_string(i) +
                (i % 2 ? "</span>\n" : "</div>\n");
    return page + "</form></body></html>\n";
}

} // namespace larkpin::test
