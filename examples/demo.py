"""Summarise a small hand-made event stream with zel."""
import zel

events = [zel.Event(x, (x * 7) % 32, 1000 * x, x % 2) for x in range(32)]
print(zel.event_stats(events))
