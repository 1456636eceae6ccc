"""A marked section of a Markdown document that a benchmark script rewrites."""


def replace_section(path, begin, end, block):
    """Puts `block` (which starts with `begin` and ends with `end` and a newline)
    in place of the section between the two markers, or at the end of the file
    when it has none yet. A missing file counts as empty."""
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except FileNotFoundError:
        text = ""
    if begin in text and end in text:
        head, rest = text.split(begin, 1)
        tail = rest.split(end, 1)[1].lstrip("\n")
        text = head + block + ("\n" + tail if tail else "")
    else:
        text = text.rstrip("\n") + "\n\n" + block
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
