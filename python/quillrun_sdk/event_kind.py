"""Event kinds of an event marker; `event_kind.skip` marks a marker to drop."""


class _Skip:
    __slots__ = ()

    def __repr__(self) -> str:
        return "event_kind.skip"


class _EventKind:
    __slots__ = ()
    skip = _Skip()

    def __repr__(self) -> str:
        return "event_kind"


event_kind = _EventKind()

__all__ = ["event_kind"]
