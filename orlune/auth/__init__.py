"""Account tokens, plan labels and machine identity."""
