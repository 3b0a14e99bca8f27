"""Writers of small field files (csv, xlsx, xls) for the reader tests.

Each writer takes a path and rows (the first row is the header); None leaves
a cell empty."""

import openpyxl
import xlwt


def write_csv(path, rows):
    cells = [["" if c is None else str(c) for c in row] for row in rows]
    path.write_text("\n".join(",".join(row) for row in cells) + "\n", encoding="utf-8")


def write_xlsx(path, rows):
    wb = openpyxl.Workbook()
    for row in rows:
        wb.active.append(row)
    wb.save(path)


def write_xls(path, rows):
    wb = xlwt.Workbook()
    sheet = wb.add_sheet("first")
    for r, row in enumerate(rows):
        for c, value in enumerate(row):
            if value is not None:
                sheet.write(r, c, value)
    wb.save(str(path))


WRITERS = {".csv": write_csv, ".xlsx": write_xlsx, ".xls": write_xls}
