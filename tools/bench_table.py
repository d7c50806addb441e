"""The benchmark scripts' results as a Markdown table, columns as wide as their widest cell."""


def print_table(rows, heading="Measure", column="Result"):
    """Each row is a name and a value, or, when column is a list of headings,
    a name and one value per heading. Names are aligned left, values right."""
    columns = list(column) if isinstance(column, (list, tuple)) else [column]
    rows = [(heading, *columns)] + [tuple(row) for row in rows]
    widths = [max(len(row[index]) for row in rows) for index in range(len(rows[0]))]
    for number, row in enumerate(rows):
        cells = [row[0].ljust(widths[0])] + [cell.rjust(width) for cell, width in zip(row[1:], widths[1:])]
        print("| " + " | ".join(cells) + " |")
        if number == 0:
            print("|-" + "-|-".join("-" * width for width in widths) + "-|")
