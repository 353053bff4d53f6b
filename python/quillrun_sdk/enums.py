"""Enum classes whose members cross into the extension by their names."""

import enum


class Constellation(enum.IntEnum):
    GPS = 0
    GLONASS = 1
    GALILEO = 2
    BEIDOU = 3
    NAVIC = 4
    QZSS = 5


class MarkerIcon(enum.IntEnum):
    PIN = 0
    CROSS = 1
    CIRCLE = 2
    LIGHTNING = 3
    WARNING = 4
    ERROR = 5
    CHECK = 6
    SATELLITE = 7
    SATELLITE_LOST = 8
    GEAR = 9
    REFRESH = 10
    DOWNLOAD = 11
    UPLOAD = 12
    WRENCH = 13


class TravelMode(enum.Enum):
    CAR = "car"
    MOTORCYCLE = "motorcycle"
    BICYCLE = "bicycle"
    PEDESTRIAN = "pedestrian"
    BOAT = "boat"
    RAIL = "rail"
    AIRCRAFT = "aircraft"


__all__ = ["Constellation", "MarkerIcon", "TravelMode"]
