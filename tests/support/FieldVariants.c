/* A GTK 3 window with one text field for each case the field recognition must tell apart, driven
 * by line commands on standard input so that tests can move focus and see what a fill wrote:
 *
 *   focus ID             give ID the keyboard focus (the window is activated first)
 *   text ID              answer "text ID <contents>"
 *   set ID TEXT          replace the contents of ID
 *   editable ID 0|1      make ID read-only or editable again
 *   geometry ID          answer "geometry ID x y width height" in screen coordinates
 *
 * Every command is answered with one line; "ready" comes once the window is shown and active.
 * Each field carries its ID as its accessible id and as its widget name. */
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
    } else if (strcmp(command, "editable") == 0) {
        const gboolean editable = words[2] && strcmp(words[2], "1") == 0;
        if (GTK_IS_TEXT_VIEW(field))
            gtk_text_view_set_editable(GTK_TEXT_VIEW(field), editable);
        else
            gtk_editable_set_editable(GTK_EDITABLE(field), editable);
        reply("editable %s", words[1]);
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
    Variants variants = {.fields = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, NULL)};
    variants.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(variants.window), argc > 1 ? argv[1] : "Field variants");
    gtk_window_move(GTK_WINDOW(variants.window), 40, 30);
    g_signal_connect(variants.window, "destroy", G_CALLBACK(gtk_main_quit), NULL);
    g_signal_connect(variants.window, "focus-in-event", G_CALLBACK(onFocusIn), &variants);
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
