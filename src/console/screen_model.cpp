#include "console/screen_model.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

std::size_t index_of(const screen_model& screen, int row, int column)
{
    return static_cast<std::size_t>(screen.row_places[static_cast<std::size_t>(row - 1)]) *
               static_cast<std::size_t>(screen.columns) +
           static_cast<std::size_t>(column - 1);
}

screen_cell blank_cell(const screen_model& screen)
{
    return screen_cell{' ', make_attribute(screen.foreground, screen.background)};
}

// A cell is its byte followed by its colours, so on this little-endian
// machine a 16-bit word with the colours above the byte; stored word by
// word, the compiler writes a run of cells many at a time, where cell by
// cell it writes them singly.
static_assert(sizeof(screen_cell) == 2 && offsetof(screen_cell, character) == 0 &&
              offsetof(screen_cell, colours) == 1 && std::endian::native == std::endian::little);

// The cells from `left` to `right` of one row.
std::size_t width_of(int left, int right)
{
    const int width = right - left + 1;
    return static_cast<std::size_t>(width);
}

void put_cells(screen_cell* cells, byte_view bytes, colour_attribute colours)
{
    std::size_t i = 0;
#if defined(__SSE2__)
    // Sixteen cells at once: the bytes interleaved with the colours are
    // sixteen cells as they lie in memory.
    const __m128i attributes = _mm_set1_epi8(static_cast<char>(colours));
    for (; bytes.size() - i >= 16; i += 16) {
        const __m128i text = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes.data() + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(cells + i), _mm_unpacklo_epi8(text, attributes));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(cells + i + 8), _mm_unpackhi_epi8(text, attributes));
    }
    if (bytes.size() - i >= 8) {
        const __m128i text = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(bytes.data() + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(cells + i), _mm_unpacklo_epi8(text, attributes));
        i += 8;
    }
#endif
    const auto high = static_cast<std::uint16_t>(colours << 8);
    for (; i < bytes.size(); ++i) {
        const auto cell = static_cast<std::uint16_t>(high | static_cast<unsigned char>(bytes[i]));
        std::memcpy(static_cast<void*>(cells + i), &cell, sizeof cell);
    }
}

void fill_cells(screen_cell* cells, std::size_t count, screen_cell cell)
{
    const auto word = static_cast<std::uint16_t>(cell.colours << 8 | static_cast<unsigned char>(cell.character));
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i eight = _mm_set1_epi16(static_cast<short>(word));
    for (; count - i >= 8; i += 8) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(cells + i), eight);
    }
#endif
    for (; i < count; ++i) {
        std::memcpy(static_cast<void*>(cells + i), &word, sizeof word);
    }
}

// The first of `width` cells of a row that start at `column`: the cells of a
// row lie side by side.
screen_cell* row_start(screen_model& screen, int row, int column)
{
    return screen.cells.data() + index_of(screen, row, column);
}

// Copies `rows` rows of the columns left to right from row `from` to row
// `to`, in an order that reads every row before it is overwritten. Rows of
// the full width move by their places alone: the rows they replace take the
// places they leave, to be blanked or overwritten by the caller.
void move_rows(screen_model& screen, int from, int to, int rows, int left, int right)
{
    if (rows <= 0) {
        return;
    }
    if (left == 1 && right == screen.columns) {
        const auto places = screen.row_places.begin();
        if (to < from) {
            std::rotate(places + (to - 1), places + (from - 1), places + (from - 1 + rows));
        } else {
            std::rotate(places + (from - 1), places + (from - 1 + rows), places + (to - 1 + rows));
        }
        return;
    }
    const auto width = width_of(left, right);
    if (to < from) {
        for (int i = 0; i < rows; ++i) {
            std::copy_n(row_start(screen, from + i, left), width, row_start(screen, to + i, left));
        }
    } else {
        for (int i = rows - 1; i >= 0; --i) {
            std::copy_n(row_start(screen, from + i, left), width, row_start(screen, to + i, left));
        }
    }
}

void blank_rows(screen_model& screen, int first, int last, int left, int right)
{
    const auto width = width_of(left, right);
    for (int row = first; row <= last; ++row) {
        fill_cells(row_start(screen, row, left), width, blank_cell(screen));
    }
}

// Moves the rectangle's content `count` cells towards `direction`; `count`
// is already within 1 and the rectangle's extent in that direction. Rows,
// and within a row the run of the rectangle's cells, move whole: the table
// scrolls once a frame, and a cell at a time costs more than everything
// else the frame does.
void shift_rectangle(screen_model& screen, int top, int left, int bottom, int right,
                     scroll_direction direction, int count)
{
    const screen_cell blank = blank_cell(screen);
    const auto width = width_of(left, right);
    const auto shift = static_cast<std::size_t>(count);
    switch (direction) {
    case scroll_direction::up:
        move_rows(screen, top + count, top, bottom - top + 1 - count, left, right);
        blank_rows(screen, bottom - count + 1, bottom, left, right);
        break;
    case scroll_direction::down:
        move_rows(screen, top, top + count, bottom - top + 1 - count, left, right);
        blank_rows(screen, top, top + count - 1, left, right);
        break;
    case scroll_direction::left:
        for (int row = top; row <= bottom; ++row) {
            screen_cell* cells = row_start(screen, row, left);
            std::copy(cells + shift, cells + width, cells);
            fill_cells(cells + width - shift, shift, blank);
        }
        break;
    case scroll_direction::right:
        for (int row = top; row <= bottom; ++row) {
            screen_cell* cells = row_start(screen, row, left);
            std::copy_backward(cells, cells + width - shift, cells + width);
            fill_cells(cells, shift, blank);
        }
        break;
    }
}

void record(change_list* changes, const screen_change& change)
{
    if (changes != nullptr) {
        changes->push_back(change);
    }
}

void scroll_whole_screen_up(screen_model& screen, change_list* changes)
{
    shift_rectangle(screen, 1, 1, screen.rows, screen.columns, scroll_direction::up, 1);
    screen_change change;
    change.what = screen_change::kind::scroll;
    change.top = 1;
    change.left = 1;
    change.bottom = screen.rows;
    change.right = screen.columns;
    change.direction = scroll_direction::up;
    change.count = 1;
    record(changes, change);
}

}  // namespace

screen_model make_screen(int rows, int columns)
{
    screen_model screen;
    screen.rows = std::clamp(rows, 1, largest_screen_side);
    screen.columns = std::clamp(columns, 1, largest_screen_side);
    screen.cells.assign(static_cast<std::size_t>(screen.rows) * static_cast<std::size_t>(screen.columns),
                        screen_cell{});
    screen.row_places.resize(static_cast<std::size_t>(screen.rows));
    for (std::size_t row = 0; row < screen.row_places.size(); ++row) {
        screen.row_places[row] = static_cast<std::uint16_t>(row);
    }
    return screen;
}

bool operator==(const screen_model& a, const screen_model& b)
{
    if (a.rows != b.rows || a.columns != b.columns || a.cursor_row != b.cursor_row ||
        a.cursor_column != b.cursor_column || a.foreground != b.foreground || a.background != b.background ||
        a.pending_scroll != b.pending_scroll || a.cells.size() != b.cells.size() ||
        a.row_places.size() != b.row_places.size()) {
        return false;
    }
    for (int row = 1; row <= a.rows; ++row) {
        const screen_cell* first = &cell_at(a, row, 1);
        if (!std::equal(first, first + a.columns, &cell_at(b, row, 1))) {
            return false;
        }
    }
    return true;
}

// cppcheck-suppress constParameter ; the cell is handed out for writing
screen_cell& cell_at(screen_model& screen, int row, int column)
{
    return screen.cells[index_of(screen, row, column)];
}

const screen_cell& cell_at(const screen_model& screen, int row, int column)
{
    return screen.cells[index_of(screen, row, column)];
}

void resize_screen(screen_model& screen, int rows, int columns)
{
    rows = std::clamp(rows, 1, largest_screen_side);
    columns = std::clamp(columns, 1, largest_screen_side);
    if (rows == screen.rows && columns == screen.columns) {
        return;
    }
    screen_model resized = make_screen(rows, columns);
    std::fill(resized.cells.begin(), resized.cells.end(), blank_cell(screen));
    for (int row = 1; row <= std::min(rows, screen.rows); ++row) {
        for (int column = 1; column <= std::min(columns, screen.columns); ++column) {
            cell_at(resized, row, column) = cell_at(screen, row, column);
        }
    }
    resized.cursor_row = std::min(screen.cursor_row, rows);
    resized.cursor_column = std::min(screen.cursor_column, columns);
    resized.foreground = screen.foreground;
    resized.background = screen.background;
    resized.pending_scroll = false;
    screen = std::move(resized);
}

void move_cursor(screen_model& screen, int row, int column)
{
    if (row >= 1 && row <= screen.rows) {
        screen.cursor_row = row;
    }
    if (column >= 1 && column <= screen.columns) {
        screen.cursor_column = column;
    }
    screen.pending_scroll = false;
}

void write_text(screen_model& screen, byte_view text, change_list* changes)
{
    const colour_attribute colours = make_attribute(screen.foreground, screen.background);
    std::size_t done = 0;
    while (done < text.size()) {
        if (screen.pending_scroll) {
            screen.pending_scroll = false;
            scroll_whole_screen_up(screen, changes);
        }
        const int room_cells = screen.columns - screen.cursor_column + 1;
        const std::size_t room = static_cast<std::size_t>(room_cells);
        const std::size_t run = std::min(room, text.size() - done);
        put_cells(&cell_at(screen, screen.cursor_row, screen.cursor_column), text.substr(done, run), colours);
        screen_change change;
        change.what = screen_change::kind::cells;
        change.row = screen.cursor_row;
        change.column = screen.cursor_column;
        change.offset = done;
        change.length = run;
        record(changes, change);

        done += run;
        screen.cursor_column += static_cast<int>(run);
        if (screen.cursor_column > screen.columns) {
            screen.cursor_column = 1;
            if (screen.cursor_row < screen.rows) {
                ++screen.cursor_row;
            } else {
                screen.pending_scroll = true;
            }
        }
    }
}

void end_line(screen_model& screen, change_list* changes)
{
    if (screen.cursor_row < screen.rows) {
        ++screen.cursor_row;
        screen.cursor_column = 1;
        screen.pending_scroll = false;
        return;
    }
    if (screen.pending_scroll) {
        screen.pending_scroll = false;
        scroll_whole_screen_up(screen, changes);
    }
    scroll_whole_screen_up(screen, changes);
    screen.cursor_row = screen.rows;
    screen.cursor_column = 1;
}

void set_colours(screen_model& screen, int foreground, int background)
{
    if (foreground >= 0 && foreground <= 15) {
        screen.foreground = foreground;
    }
    if (background >= 0 && background <= 15) {
        screen.background = background;
    }
}

void clear_screen(screen_model& screen, change_list* changes)
{
    std::fill(screen.cells.begin(), screen.cells.end(), blank_cell(screen));
    screen.cursor_row = 1;
    screen.cursor_column = 1;
    screen.pending_scroll = false;
    screen_change change;
    change.what = screen_change::kind::clear;
    record(changes, change);
}

void scroll_region(screen_model& screen, int top, int left, int bottom, int right,
                   scroll_direction direction, int count, change_list* changes)
{
    if (bottom <= 0 || bottom > screen.rows) {
        bottom = screen.rows;
    }
    if (right <= 0 || right > screen.columns) {
        right = screen.columns;
    }
    top = std::clamp(top, 1, bottom);
    left = std::clamp(left, 1, right);
    const bool vertical = direction == scroll_direction::up || direction == scroll_direction::down;
    const int extent = vertical ? bottom - top + 1 : right - left + 1;
    count = std::clamp(count, 1, extent);

    shift_rectangle(screen, top, left, bottom, right, direction, count);
    screen_change change;
    change.what = screen_change::kind::scroll;
    change.top = top;
    change.left = left;
    change.bottom = bottom;
    change.right = right;
    change.direction = direction;
    change.count = count;
    record(changes, change);
}
