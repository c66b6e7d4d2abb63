/* A GTK 3 window with one text field for each case the field recognition must tell apart, driven
 * by line commands on standard input so that tests can move focus and see what a fill wrote:
 *
 *   focus ID             give ID the keyboard focus (the window is activated first)
 *   text ID              answer "text ID <contents>"
 *   set ID TEXT          replace the contents of ID
 *   geometry ID          answer "geometry ID x y width height" in screen coordinates
 *   reads ID             answer "reads ID W D C": the most characters of ID's text one request
 *                        asked for (W), how many children of ID's parent were asked for (D
 *                        distinct ones, C requests); then start counting afresh
 *
 * Every command is answered with one line; "ready" comes once the window is shown and active
 * (only shown, for a program in the background).
 * Each field carries its ID as its accessible id and as its widget name.
 *
 * Two fields behave as some applications do: "jumpy" ignores writes of its whole text (as
 * Firefox does) and hands the focus to "name" as soon as its text is selected through the
 * accessibility bus; "crowded" sits among hundreds of labels. "notes" and "pasted" hold long
 * texts; "marks-8" and "marks-9" hold 8 and 9 letters written with many combining marks. */
#include <gtk/gtk-a11y.h>
#include <gtk/gtk.h>

#include <stdio.h>
#include <unistd.h>
#include <string.h>

typedef struct {
    GtkWidget* window;
    GHashTable* fields; /* ID -> GtkWidget (entry or text view) */
    gboolean announced;
} Variants;

static void reply(const char* format, ...) G_GNUC_PRINTF(1, 2);
static void reply(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    vprintf(format, arguments);
    va_end(arguments);
    putchar('\n');
    fflush(stdout);
}

static GtkWidget* identify(Variants* variants, GtkWidget* field, const char* id)
{
    gtk_widget_set_name(field, id);
    atk_object_set_accessible_id(gtk_widget_get_accessible(field), id);
    g_hash_table_insert(variants->fields, g_strdup(id), field);
    return field;
}

/* Counting what other programs ask through the accessibility bus: the toolkit's own handlers are
 * wrapped, and the counts kept on the widget. */
static gchar* (*toolkitGetText)(AtkText*, gint, gint);
static AtkObject* (*toolkitRefChild)(AtkObject*, gint);
static void (*toolkitSetTextContents)(AtkEditableText*, const gchar*);
static gboolean (*toolkitSetSelection)(AtkText*, gint, gint, gint);

static GtkWidget* widgetOf(gpointer accessible)
{
    return gtk_accessible_get_widget(GTK_ACCESSIBLE(accessible));
}

static gint counter(GtkWidget* widget, const char* name)
{
    return widget ? GPOINTER_TO_INT(g_object_get_data(G_OBJECT(widget), name)) : 0;
}

static void setCounter(GtkWidget* widget, const char* name, gint value)
{
    if (widget)
        g_object_set_data(G_OBJECT(widget), name, GINT_TO_POINTER(value));
}

static gchar* countedGetText(AtkText* text, gint start, gint end)
{
    GtkWidget* widget = widgetOf(text);
    const gint wanted = (end < 0 ? atk_text_get_character_count(text) : end) - start;
    setCounter(widget, "widest-read", MAX(counter(widget, "widest-read"), wanted));
    return toolkitGetText(text, start, end);
}

static AtkObject* countedRefChild(AtkObject* object, gint index)
{
    GtkWidget* widget = widgetOf(object);
    if (widget) {
        GHashTable* asked = g_object_get_data(G_OBJECT(widget), "children-asked");
        if (!asked) {
            asked = g_hash_table_new(g_direct_hash, g_direct_equal);
            g_object_set_data_full(G_OBJECT(widget), "children-asked", asked,
                                   (GDestroyNotify)g_hash_table_unref);
        }
        g_hash_table_add(asked, GINT_TO_POINTER(index + 1));
        setCounter(widget, "child-requests", counter(widget, "child-requests") + 1);
    }
    return toolkitRefChild(object, index);
}

static void maybeSetTextContents(AtkEditableText* text, const gchar* contents)
{
    if (!g_object_get_data(G_OBJECT(widgetOf(text)), "ignores-writes"))
        toolkitSetTextContents(text, contents);
}

static gboolean jumpingSetSelection(AtkText* text, gint number, gint start, gint end)
{
    const gboolean selected = toolkitSetSelection(text, number, start, end);
    GtkWidget* next = g_object_get_data(G_OBJECT(widgetOf(text)), "jumps-to");
    if (next)
        gtk_widget_grab_focus(next);
    return selected;
}

static void wrapToolkitHandlers(void)
{
    AtkTextIface* viewText =
        g_type_interface_peek(g_type_class_ref(GTK_TYPE_TEXT_VIEW_ACCESSIBLE), ATK_TYPE_TEXT);
    toolkitGetText = viewText->get_text;
    viewText->get_text = countedGetText;
    AtkObjectClass* container = g_type_class_ref(GTK_TYPE_CONTAINER_ACCESSIBLE);
    toolkitRefChild = container->ref_child;
    container->ref_child = countedRefChild;
    gpointer entryClass = g_type_class_ref(GTK_TYPE_ENTRY_ACCESSIBLE);
    AtkEditableTextIface* entryEditable = g_type_interface_peek(entryClass, ATK_TYPE_EDITABLE_TEXT);
    toolkitSetTextContents = entryEditable->set_text_contents;
    entryEditable->set_text_contents = maybeSetTextContents;
    AtkTextIface* entryText = g_type_interface_peek(entryClass, ATK_TYPE_TEXT);
    toolkitSetSelection = entryText->set_selection;
    entryText->set_selection = jumpingSetSelection;
}

static GtkWidget* box(GtkOrientation orientation)
{
    return gtk_box_new(orientation, 4);
}

/* A row holding a label that names the field (the LABELLED_BY relation) and the field. */
static GtkWidget* labelledRow(const char* text, GtkWidget* field)
{
    GtkWidget* row = box(GTK_ORIENTATION_HORIZONTAL);
    GtkWidget* label = gtk_label_new(text);
    gtk_label_set_mnemonic_widget(GTK_LABEL(label), field);
    gtk_container_add(GTK_CONTAINER(row), label);
    gtk_container_add(GTK_CONTAINER(row), field);
    return row;
}

static GtkWidget* entry(Variants* variants, const char* id, const char* text)
{
    GtkWidget* field = gtk_entry_new();
    gtk_entry_set_text(GTK_ENTRY(field), text);
    return identify(variants, field, id);
}

/* A field whose only describing text is a plain label (no relation) that is a sibling of its
 * ancestor `levels` levels up: the field sits inside levels - 1 bare boxes next to the label. */
static GtkWidget* nearbyRow(Variants* variants, const char* id, int levels)
{
    GtkWidget* inner = entry(variants, id, "");
    for (int level = 1; level < levels; ++level) {
        GtkWidget* wrapper = box(GTK_ORIENTATION_HORIZONTAL);
        gtk_container_add(GTK_CONTAINER(wrapper), inner);
        inner = wrapper;
    }
    GtkWidget* row = box(GTK_ORIENTATION_HORIZONTAL);
    gtk_container_add(GTK_CONTAINER(row), gtk_label_new("Security code"));
    gtk_container_add(GTK_CONTAINER(row), inner);
    return row;
}

/* A labelled text view, scrolled so that a long text does not grow the window. */
static GtkWidget* viewRow(Variants* variants, const char* label, const char* id, int lines)
{
    GtkWidget* view = identify(variants, gtk_text_view_new(), id);
    GString* text = g_string_new(NULL);
    for (int line = 0; line < lines; ++line)
        g_string_append_printf(text, "%05d The quick brown fox jumps over the lazy dog.\n", line);
    gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(view)), text->str, -1);
    g_string_free(text, TRUE);
    GtkWidget* scrolled = gtk_scrolled_window_new(NULL, NULL);
    gtk_widget_set_size_request(scrolled, 200, 40);
    gtk_container_add(GTK_CONTAINER(scrolled), view);
    GtkWidget* row = box(GTK_ORIENTATION_HORIZONTAL);
    GtkWidget* title = gtk_label_new(label);
    gtk_label_set_mnemonic_widget(GTK_LABEL(title), view);
    gtk_container_add(GTK_CONTAINER(row), title);
    gtk_container_add(GTK_CONTAINER(row), scrolled);
    return row;
}

/* A field with a "Security code" label just before it, among 400 hidden labels. */
static GtkWidget* crowdedRow(Variants* variants)
{
    GtkWidget* row = box(GTK_ORIENTATION_HORIZONTAL);
    for (int i = 0; i < 400; ++i) {
        if (i == 200) {
            gtk_container_add(GTK_CONTAINER(row), gtk_label_new("Security code"));
            gtk_container_add(GTK_CONTAINER(row), entry(variants, "crowded", ""));
        }
        char text[32];
        g_snprintf(text, sizeof text, "Filler %d", i);
        GtkWidget* filler = gtk_label_new(text);
        gtk_widget_set_no_show_all(filler, TRUE);
        gtk_container_add(GTK_CONTAINER(row), filler);
    }
    return row;
}

static void build(Variants* variants)
{
    GtkWidget* rows = box(GTK_ORIENTATION_VERTICAL);
    GtkContainer* add = GTK_CONTAINER(rows);

    gtk_container_add(add, labelledRow("Enter the 6-digit verification code", entry(variants, "labelled", "")));

    GtkWidget* password = entry(variants, "password", "");
    gtk_entry_set_visibility(GTK_ENTRY(password), FALSE);
    gtk_container_add(add, labelledRow("Enter the 6-digit verification code", password));

    GtkWidget* combo = gtk_combo_box_text_new_with_entry();
    identify(variants, gtk_bin_get_child(GTK_BIN(combo)), "combo");
    gtk_container_add(add, labelledRow("Enter the 6-digit verification code", combo));

    gtk_container_add(add, nearbyRow(variants, "nearby-1", 1));
    gtk_container_add(add, nearbyRow(variants, "nearby-3", 3));
    gtk_container_add(add, nearbyRow(variants, "nearby-4", 4));

    gtk_container_add(add, labelledRow("Verification code", entry(variants, "eight", "12345678")));
    gtk_container_add(add, labelledRow("Verification code", entry(variants, "nine", "123456789")));

    GtkWidget* placeholder = entry(variants, "placeholder", "");
    gtk_entry_set_placeholder_text(GTK_ENTRY(placeholder), "One-time passcode");
    gtk_container_add(add, placeholder);

    gtk_container_add(add, labelledRow("Code de vérification", entry(variants, "french", "")));
    gtk_container_add(add, labelledRow("Name", entry(variants, "name", "")));

    GtkWidget* readOnly = entry(variants, "readonly", "");
    gtk_editable_set_editable(GTK_EDITABLE(readOnly), FALSE);
    gtk_container_add(add, labelledRow("Verification code", readOnly));

    GtkWidget* named = entry(variants, "named", "");
    atk_object_set_name(gtk_widget_get_accessible(named), "One-Time Passcode");
    gtk_container_add(add, named);

    GtkWidget* described = entry(variants, "described", "");
    atk_object_set_description(gtk_widget_get_accessible(described), "Type the PIN we sent you");
    gtk_container_add(add, described);

    GtkWidget* area = identify(variants, gtk_text_view_new(), "area");
    gtk_widget_set_size_request(area, 200, 40);
    gtk_container_add(add, labelledRow("Verification code", area));

    /* Letters of twelve code points each (an e and eleven marks), more than one piece of text. */
    GString* marks = g_string_new(NULL);
    GtkWidget* pair = box(GTK_ORIENTATION_HORIZONTAL); /* two rows side by side keep the window short */
    for (int letter = 0; letter < 9; ++letter) {
        if (letter == 8)
            gtk_container_add(GTK_CONTAINER(pair),
                              labelledRow("Verification code", entry(variants, "marks-8", marks->str)));
        g_string_append(
            marks,
            "e\xcc\x81\xcc\x82\xcc\x83\xcc\x84\xcc\x86\xcc\x87\xcc\x88\xcc\x8a\xcc\x8b\xcc\x8c\xcc\xa3");
    }
    gtk_container_add(GTK_CONTAINER(pair),
                      labelledRow("Verification code", entry(variants, "marks-9", marks->str)));
    g_string_free(marks, TRUE);
    gtk_container_add(add, pair);

    pair = box(GTK_ORIENTATION_HORIZONTAL);
    gtk_container_add(GTK_CONTAINER(pair), viewRow(variants, "Notes", "notes", 5000));
    gtk_container_add(GTK_CONTAINER(pair), viewRow(variants, "Verification code", "pasted", 5000));
    gtk_container_add(add, pair);

    GtkWidget* jumpy = entry(variants, "jumpy", "old");
    g_object_set_data(G_OBJECT(jumpy), "ignores-writes", GINT_TO_POINTER(1));
    g_object_set_data(G_OBJECT(jumpy), "jumps-to", g_hash_table_lookup(variants->fields, "name"));
    pair = box(GTK_ORIENTATION_HORIZONTAL);
    gtk_container_add(GTK_CONTAINER(pair), labelledRow("Verification code", jumpy));
    gtk_container_add(GTK_CONTAINER(pair), crowdedRow(variants));
    gtk_container_add(add, pair);

    gtk_container_add(GTK_CONTAINER(variants->window), rows);
}

static char* contents(GtkWidget* field)
{
    if (GTK_IS_TEXT_VIEW(field)) {
        GtkTextBuffer* buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(field));
        GtkTextIter start, end;
        gtk_text_buffer_get_bounds(buffer, &start, &end);
        return gtk_text_buffer_get_text(buffer, &start, &end, FALSE);
    }
    return g_strdup(gtk_entry_get_text(GTK_ENTRY(field)));
}

static void setContents(GtkWidget* field, const char* text)
{
    if (GTK_IS_TEXT_VIEW(field))
        gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(field)), text, -1);
    else
        gtk_entry_set_text(GTK_ENTRY(field), text);
}

static void run(Variants* variants, char* line)
{
    g_strchomp(line);
    char** words = g_strsplit(line, " ", 3);
    const char* command = words[0] ? words[0] : "";
    GtkWidget* field = words[0] && words[1] ? g_hash_table_lookup(variants->fields, words[1]) : NULL;

    if (!field) {
        reply("error unknown command or field: %s", line);
    } else if (strcmp(command, "focus") == 0) {
        gtk_window_present(GTK_WINDOW(variants->window));
        gtk_widget_grab_focus(field);
        reply("focused %s", words[1]);
    } else if (strcmp(command, "text") == 0) {
        char* text = contents(field);
        reply("text %s %s", words[1], text);
        g_free(text);
    } else if (strcmp(command, "set") == 0) {
        setContents(field, words[2] ? words[2] : "");
        reply("set %s", words[1]);
    } else if (strcmp(command, "reads") == 0) {
        GtkWidget* parent = gtk_widget_get_parent(field);
        GHashTable* asked = g_object_get_data(G_OBJECT(parent), "children-asked");
        reply("reads %s %d %u %d", words[1], counter(field, "widest-read"),
              asked ? g_hash_table_size(asked) : 0, counter(parent, "child-requests"));
        setCounter(field, "widest-read", 0);
        setCounter(parent, "child-requests", 0);
        g_object_set_data(G_OBJECT(parent), "children-asked", NULL);
    } else if (strcmp(command, "geometry") == 0) {
        GtkAllocation allocation;
        gtk_widget_get_allocation(field, &allocation);
        int x = 0, y = 0, originX = 0, originY = 0;
        gtk_widget_translate_coordinates(field, variants->window, 0, 0, &x, &y);
        gdk_window_get_origin(gtk_widget_get_window(variants->window), &originX, &originY);
        reply("geometry %s %d %d %d %d", words[1], originX + x, originY + y, allocation.width, allocation.height);
    } else {
        reply("error unknown command: %s", line);
    }
    g_strfreev(words);
}

static gboolean onInput(GIOChannel* channel, GIOCondition condition, gpointer data)
{
    char* line = NULL;
    const GIOStatus status = g_io_channel_read_line(channel, &line, NULL, NULL, NULL);
    if (status == G_IO_STATUS_NORMAL && line)
        run(data, line);
    g_free(line);
    if (status == G_IO_STATUS_EOF || (condition & (G_IO_HUP | G_IO_ERR))) {
        gtk_main_quit();
        return G_SOURCE_REMOVE;
    }
    return G_SOURCE_CONTINUE;
}

static gboolean onFocusIn(GtkWidget* window, GdkEvent* event, gpointer data)
{
    (void)window;
    (void)event;
    Variants* variants = data;
    if (!variants->announced) {
        variants->announced = TRUE;
        reply("ready %d", (int)getpid());
    }
    return FALSE;
}

int main(int argc, char** argv)
{
    gtk_init(&argc, &argv);
    wrapToolkitHandlers();
    Variants variants = {.fields = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, NULL)};
    variants.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(variants.window), argc > 1 ? argv[1] : "Field variants");
    gtk_window_move(GTK_WINDOW(variants.window), 40, 30);
    g_signal_connect(variants.window, "destroy", G_CALLBACK(gtk_main_quit), NULL);
    /* A second program in the background ("FieldVariants TITLE background") never takes the focus. */
    const gboolean background = argc > 2 && strcmp(argv[2], "background") == 0;
    gtk_window_set_accept_focus(GTK_WINDOW(variants.window), !background);
    g_signal_connect(variants.window, background ? "map-event" : "focus-in-event", G_CALLBACK(onFocusIn),
                     &variants);
    build(&variants);

    GIOChannel* input = g_io_channel_unix_new(0);
    g_io_add_watch(input, G_IO_IN | G_IO_HUP | G_IO_ERR, onInput, &variants);

    gtk_widget_show_all(variants.window);
    gtk_window_present(GTK_WINDOW(variants.window));
    gtk_main();

    g_io_channel_unref(input);
    g_hash_table_destroy(variants.fields);
    return 0;
}
