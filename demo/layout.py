"""Text layout shared by the tour's sections: headings and wrapped paragraphs."""

import textwrap

WIDTH = 78


def heading(title: str, underline: str = "-") -> None:
    print()
    print(title)
    print(underline * len(title))


def para(text: str, indent: str = "") -> None:
    print(textwrap.fill(" ".join(text.split()), WIDTH, initial_indent=indent,
                        subsequent_indent=indent))
