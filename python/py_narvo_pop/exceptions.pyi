"""
Exception types raised by py_narvo_pop for faults in input data and requests.
"""



class NarvoPopError(Exception):
    """Base class of every data or request fault that py_narvo_pop reports."""

class CohortChainError(NarvoPopError):
    """A bad seed table or population inventory file."""

class WeatherError(NarvoPopError):
    """
    A missing weather column, a week outside the weather data, or a bad weather file.
    """

class RibbonDataError(NarvoPopError):
    """A bad ribbon production file."""

class SuckerSelectionError(NarvoPopError):
    """A bad sucker selection file."""
