#include "console/screen_layout.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "console/device.h"
#include "format/masks.h"
#include "format/number_text.h"

namespace {

constexpr byte_view title_text = "             Decodificador Zarim Binario v ";
constexpr byte_view version_text = "1.00";
constexpr byte_view credit_text = " (estacao RX)";  // one blank and 12 characters
constexpr byte_view log_label = "                           LOG:";
constexpr byte_view table_border =
    "+-------+--------+----------+-----------+-----+-----+-----+------+-----+------+";
constexpr byte_view table_header =
    "| Frame |  Time  | Latitude | Longitude | Alt | Spd | GPS | Temp | Bat |  Clb |";
constexpr std::uint16_t listen_port = 3000;
constexpr int startup_pause_ms = 1000;

static_assert(title_text.size() + version_text.size() + credit_text.size() == 60);
static_assert(table_border.size() == 79 && table_header.size() == 79);

// The slices of a table row by fixed position, whatever the row holds. A
// field too wide for its mask positions lengthens the row; what lies past
// the mask's 78 characters goes with the last slice.
constexpr std::size_t mask_row_length = 78;
struct row_slice {
    std::size_t start;  // from 0
    std::size_t length;
};
constexpr row_slice counter_slice{0, 9};
constexpr row_slice time_slice{9, 8};
constexpr row_slice position_slice{17, 48};
constexpr row_slice battery_slice{65, 6};
constexpr row_slice climb_slice{71, byte_view::npos};
static_assert(time_slice.start == counter_slice.start + counter_slice.length &&
              position_slice.start == time_slice.start + time_slice.length &&
              battery_slice.start == position_slice.start + position_slice.length &&
              climb_slice.start == battery_slice.start + battery_slice.length &&
              climb_slice.start + 7 == mask_row_length);

byte_view slice_of(byte_view row, row_slice slice)
{
    if (slice.start >= row.size()) return {};
    return row.substr(slice.start, slice.length);
}

// A widened row is shown as far as the screen's last column, so that the
// climb rate is never cut short by the fields before it. A screen narrower
// than the mask's row still gets its 78 characters, wrapped as ever.
byte_view widened_row(const console_device& console, byte_view row)
{
    const auto columns = static_cast<std::size_t>(console.screen.columns);
    return row.substr(0, std::max(mask_row_length, columns));
}

// Rows 1 to 9 are drawn only where the layout has room: from row 10 down
// the table scrolls, and a row of the fixed texts must not wrap.
bool has_room(const screen_model& screen)
{
    return screen.rows >= layout_rows && screen.columns >= layout_columns;
}

// Where the cursor was, and in which colours, to be put back after a
// drawing that is not the caller's.
struct kept_cursor {
    int row;
    int column;
    int foreground;
    int background;
    bool pending_scroll;
};

kept_cursor keep_cursor(const console_device& console)
{
    const screen_model& screen = console.screen;
    return {screen.cursor_row, screen.cursor_column, screen.foreground, screen.background,
            screen.pending_scroll};
}

void put_cursor_back(console_device& console, const kept_cursor& kept)
{
    move_cursor(console, kept.row, kept.column);
    set_colours(console, kept.foreground, kept.background);
    console.screen.pending_scroll = kept.pending_scroll;
}

void draw_log_name(console_device& console, const fixed_screen& fixed)
{
    move_cursor(console, 4, static_cast<int>(log_label.size()) + 1);
    set_colours(console, fixed.log_waiting ? warning_colour : ordinary_colour, background_colour);
    write_text(console, fixed.log_file_name);
    set_colours(console, ordinary_colour, background_colour);
}

// One row of the fixed screen, blank in grey on black and then its text.
void draw_fixed_row(console_device& console, int row, byte_view text)
{
    scroll_region(console, row, 1, row, 0, scroll_direction::up, 1);
    move_cursor(console, row, 1);
    write_text(console, text);
}

}  // namespace

void show_start_message(console_device& console)
{
    write_text(console, "Iniciando servidor UDP - Zarim");
    end_line(console);
    pause_ms(console, startup_pause_ms);
}

void show_listen_address(console_device& console, const std::uint8_t (&address_bytes)[4])
{
    byte_string text = "Recebendo dados via ";
    text += format_address_text(address_bytes);
    text += ':';
    text += number_text(listen_port);
    text += "...";
    write_text(console, text);
    end_line(console);
    pause_ms(console, startup_pause_ms);
}

void draw_fixed_screen(console_device& console, fixed_screen& fixed)
{
    // From here on a change of size counts against this drawing.
    console.resized = false;
    clear_screen(console);
    end_line(console);
    write_text(console, title_text);
    write_text(console, version_text);
    write_text(console, credit_text);
    end_line(console);
    end_line(console);
    write_text(console, log_label);
    write_text(console, fixed.log_file_name);
    end_line(console);
    move_cursor(console, 7, 1);
    write_text(console, table_border);
    end_line(console);
    write_text(console, table_header);
    end_line(console);
    write_text(console, table_border);
    end_line(console);
    fixed.cut = !has_room(console.screen);
}

void mend_fixed_screen(console_device& console, fixed_screen& fixed)
{
    if (!console.resized) return;
    console.resized = false;
    if (console.least_rows < layout_rows || console.least_columns < layout_columns) fixed.cut = true;
    if (!fixed.cut || !has_room(console.screen)) return;

    const kept_cursor kept = keep_cursor(console);
    set_colours(console, ordinary_colour, background_colour);
    byte_string title(title_text);
    title += version_text;
    title += credit_text;
    const byte_view rows[] = {"", title, "", log_label, "", {}, table_border, table_header, table_border};
    for (int row = 1; row <= 9; ++row) {
        if (row != status_row) draw_fixed_row(console, row, rows[row - 1]);
    }
    draw_log_name(console, fixed);
    put_cursor_back(console, kept);
    fixed.cut = false;
}

void show_log_waiting(console_device& console, fixed_screen& fixed, bool waiting)
{
    fixed.log_waiting = waiting;
    // A size change not yet seen to may have cut the row; the mend draws
    // the name in its new colour.
    mend_fixed_screen(console, fixed);
    if (fixed.cut) return;
    const kept_cursor kept = keep_cursor(console);
    draw_log_name(console, fixed);
    put_cursor_back(console, kept);
}

void show_reception(console_device& console, byte_view frame_text)
{
    move_cursor(console, status_row, 1);
    // Laid out aside and written at once, which puts the same cells and
    // bytes as writing it in pieces; a frame text too long for the room is
    // written as a piece of its own instead of being copied.
    constexpr byte_view received = "Recebido ";
    constexpr byte_view arrow = " -> \"";
    constexpr byte_view quote = "\"";
    char text[256];
    std::size_t length = 0;
    const auto put = [&text, &length](byte_view piece) {
        piece.copy(text + length, piece.size());
        length += piece.size();
    };
    const byte_view time = local_time_text(console.clock);
    put(received);
    put(time.substr(0, 8));
    put(arrow);
    if (frame_text.size() <= sizeof text - length - quote.size()) {
        put(frame_text);
        put(quote);
        write_text(console, byte_view(text, length));
        return;
    }
    write_text(console, byte_view(text, length));
    write_text(console, frame_text);
    write_text(console, quote);
}

void show_crc_ok(console_device& console)
{
    write_text(console, " -> CRC OK!");
    end_line(console);
}

void show_crc_error(console_device& console, std::int32_t crc_error_count)
{
    write_text(console, "-> Erro de CRC #");
    write_text(console, print_form(crc_error_count, 15));
    end_line(console);
}

void show_table_row(console_device& console, byte_view table_row, std::int32_t time_gap,
                    float battery_voltage)
{
    scroll_region(console, first_table_row, 1, 0, 0, scroll_direction::down, 1);
    move_cursor(console, first_table_row, 1);
    const byte_view row = table_row.size() > mask_row_length ? widened_row(console, table_row) : table_row;
    const bool late = time_gap > time_gap_warning;
    const bool low = battery_warning > battery_voltage;
    if (!late && !low && console.screen.foreground == ordinary_colour &&
        console.screen.background == background_colour) {
        // Every slice in the colours already set: one write puts the same
        // cells and bytes as five would.
        write_text(console, row);
        return;
    }
    write_text(console, slice_of(row, counter_slice));
    if (late) set_colours(console, warning_colour, background_colour);
    write_text(console, slice_of(row, time_slice));
    set_colours(console, ordinary_colour, background_colour);
    write_text(console, slice_of(row, position_slice));
    if (low) set_colours(console, warning_colour, background_colour);
    write_text(console, slice_of(row, battery_slice));
    set_colours(console, ordinary_colour, background_colour);
    write_text(console, slice_of(row, climb_slice));
}

byte_string port_failure_text(std::uint16_t port, int platform_error)
{
    byte_string text = "Nao foi possivel abrir a porta UDP ";
    text += number_text(port);
    text += ": ";
    switch (platform_error) {
    case EADDRINUSE:
        text += "em uso por outro programa";
        break;
    case EACCES:
    case EPERM:
        text += "permissao negada";
        break;
    case EADDRNOTAVAIL:
        text += "endereco indisponivel";
        break;
    case EAFNOSUPPORT:
    case EPROTONOSUPPORT:
        text += "UDP sobre IPv4 indisponivel neste sistema";
        break;
    case EMFILE:
    case ENFILE:
        text += "arquivos abertos demais";
        break;
    case ENOMEM:
    case ENOBUFS:
        text += "memoria insuficiente";
        break;
    case 0:
        text += "motivo desconhecido";
        break;
    default:
        text += "erro ";
        text += number_text(platform_error);
        text += " do sistema";
        break;
    }
    return text;
}

namespace {

// After the terminal is restored, so the text reaches the shell's screen
// (or wherever the standard error goes) as it stands.
void say_on_standard_error(byte_view text)
{
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t count = ::write(STDERR_FILENO, text.data() + written, text.size() - written);
        if (count > 0) {
            written += static_cast<std::size_t>(count);
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else {
            return;  // nowhere to say it: the exit status still does
        }
    }
}

}  // namespace

void show_port_failure(std::uint16_t port, int platform_error)
{
    byte_string line = port_failure_text(port, platform_error);
    line += '\n';
    say_on_standard_error(line);
}

void show_unwritten_lines(const byte_string& log_file_name, const std::deque<byte_string>& lines,
                          std::uint64_t dropped)
{
    byte_string head = "Linhas nao gravadas em ";
    head += log_file_name;
    head += ": ";
    head += number_text(static_cast<std::int32_t>(std::min<std::uint64_t>(lines.size() + dropped, INT32_MAX)));
    if (dropped != 0) {
        head += " (";
        head += number_text(static_cast<std::int32_t>(std::min<std::uint64_t>(dropped, INT32_MAX)));
        head += " perdidas)";
    }
    head += '\n';
    say_on_standard_error(head);
    for (const byte_string& line : lines) say_on_standard_error(line);
}
