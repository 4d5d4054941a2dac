"""Morvela's text reports read back with pandas."""

from ._recording import unique_names


def _table(path, skip, rows=1):
    import pandas as pd

    return pd.read_csv(path, sep=";", skiprows=skip, nrows=rows, header=None,
                       dtype=str, keep_default_na=False, encoding="latin-1")


def read_report(path):
    """A report written by the Morvela program, as a DataFrame shaped like
    Recording.to_pandas(): indexed by TimeOffset, one column per input named
    by the input's name (repeated names made unique as pandas does), units in
    df.attrs["units"] and the report's header fields in df.attrs["header"].

    Text is read as Latin-1, which keeps every byte; a name holding ";"
    splits its line in the report and cannot be read back whole."""
    import pandas as pd

    header = _table(path, 2, 2)
    parameters = _table(path, 4, 2)
    fields = dict(zip(header.iloc[0], header.iloc[1]))
    fields.update(zip(parameters.iloc[0], parameters.iloc[1]))
    inputs = int(fields["Ninputs"])
    if inputs == 0:
        names, units = [], []
    else:
        names = list(_table(path, 7).iloc[0])
        units = list(_table(path, 9).iloc[0])
    columns = unique_names(names)
    frame = pd.read_csv(path, sep=";", skiprows=10, index_col=0, header=0,
                        encoding="latin-1", float_precision="round_trip")
    frame.columns = columns
    frame.index.name = "TimeOffset"
    frame.attrs["units"] = dict(zip(columns, units))
    frame.attrs["header"] = fields
    return frame
