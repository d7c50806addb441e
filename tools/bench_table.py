"""The benchmark scripts' results as a Markdown table, columns as wide as their widest cell."""


def print_table(rows, heading="Measure", column="Result"):
    rows = [(heading, column)] + rows
    width = max(len(name) for name, _ in rows)
    value_width = max(len(value) for _, value in rows)
    for number, (name, value) in enumerate(rows):
        print("| %-*s | %*s |" % (width, name, value_width, value))
        if number == 0:
            print("|-%s-|-%s-|" % ("-" * width, "-" * value_width))
