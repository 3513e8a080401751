"""Display labels for subscription plans."""

_PLAN_LABELS = {"free": "free", "pro": "pro", "team": "team", "clinic": "clinic"}


def plan_label(token_type) -> str:
    """Map a token type to its plan label; unknown types pass through normalised."""
    if not token_type:
        return ""
    key = str(token_type).strip().lower()
    return _PLAN_LABELS.get(key, key)
