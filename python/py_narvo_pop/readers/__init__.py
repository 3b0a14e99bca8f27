"""Readers of the farm's field files.

- ``vimlo``    daily weather file
- ``demmet``   population inventory
- ``quillet``  ribbon-tagged production records
- ``braxen``   farm-wide sucker-selection counts
- ``_common``  loading, cleaning and column checks shared by all readers
"""
