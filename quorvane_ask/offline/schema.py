"""The schema as the model understands it: the tables read from the
observations, the foreign keys between them as a graph with its one join
path per pair, and the table of order lines (quantity times unit price)
that revenue is computed from.
"""

from __future__ import annotations

from collections import deque
from dataclasses import dataclass
from typing import Optional

from .decline import Unmappable
from .observations import Column, Table
from .words import MONEY_COLUMN_WORDS, PRICE_WORDS, QUANTITY_WORDS


# Words of a foreign key's name that only say it is a key.
_KEY_WORDS = {"id", "number", "no", "num", "code", "key", "fk"}


@dataclass(frozen=True)
class Role:
    """A foreign key named for what the referenced row is to the row that
    holds it: customers.salesRepEmployeeNumber (the sales rep), a key of a
    table to itself (employees.reportsTo, staff.manager_id)."""
    table: str         # the table holding the key
    column: str
    ref: str           # the table it points at
    refcol: str
    words: tuple       # the role: the key's words less key words and the ref's own words

    @property
    def self_key(self) -> bool:
        return self.table == self.ref


class Schema:
    def __init__(self, tables: dict[str, Table], quote: str, backslash_escapes: bool):
        self.tables = tables
        self.quote = quote
        self.backslash_escapes = backslash_escapes
        self.edges: dict[str, list[tuple]] = {t: [] for t in tables}
        for t in tables.values():
            for col, ref, refcol in t.fks:
                if ref in tables:
                    # (from table, from column, to table, to column)
                    self.edges[t.name].append((t.name, col, ref, refcol))
                    self.edges[ref].append((ref, refcol, t.name, col))
        self.all_line_items = self._line_tables()
        self.line_items = self._find_line_items()
        self.roles = self._find_roles()

    def path(self, start: str, goal: str, plain: bool = False) -> list[tuple]:
        """The shortest join path between two tables; it must be the only one.
        With `plain` (the question names no role), a path along keys named
        only for the table they point at wins over those through a key
        named for a role: "films in French" go by film.language_id, not by
        original_language_id."""
        if start == goal:
            return []
        found, frontier = [], deque([(start, [])])
        depth = {start: 0}
        while frontier:
            table, hops = frontier.popleft()
            if found and len(hops) >= len(found[0]):
                break
            for edge in self.edges[table]:
                nxt = edge[2]
                if nxt == goal:
                    found.append(hops + [edge])
                elif self._joins(hops + [edge]) < 3 and depth.get(nxt, len(hops) + 1) >= len(hops) + 1:
                    depth[nxt] = len(hops) + 1
                    frontier.append((nxt, hops + [edge]))
        if not found:
            chain = self._reference_chain(start, goal)
            if chain is None:
                back = self._reference_chain(goal, start)
                chain = None if back is None else [
                    (b, bc, a, ac) for a, ac, b, bc in reversed(back)]
            if chain is not None:
                return chain
            raise Unmappable(f"no chain of foreign keys joins {start} to {goal}")
        if len(found) > 1 and plain:
            keys = {(r.table, r.column) for r in self.roles}
            unroled = [p for p in found
                       if not any((a, ac) in keys or (b, bc) in keys for a, ac, b, bc in p)]
            found = unroled if len(unroled) == 1 else found
        if len(found) > 1:
            raise Unmappable(f"{start} and {goal} are joined in more than one way")
        return found[0]

    def _reference_chain(self, start: str, goal: str) -> Optional[list[tuple]]:
        """The one shortest path from `start` to `goal` that follows each
        row's own references (a payment's rental, its copy, the copy's
        film), and out again through a link table (the film's categories):
        longer than joins are otherwise followed, but each hop says whose
        row it reaches.  None when there is none, or more than one."""
        found, frontier, seen = [], deque([(start, [])]), {start: 0}
        while frontier:
            table, hops = frontier.popleft()
            if found and len(hops) >= len(found[0]):
                break
            steps = [(table, col, ref, rc) for col, ref, rc in self.tables[table].fks
                     if ref in self.tables]
            if not (hops and self.is_link(table)):
                # Into a link table that points at this row, to go on to
                # the row it links to.
                steps += [(table, rc, link, col) for link in self.tables if self.is_link(link)
                          for col, ref, rc in self.tables[link].fks if ref == table]
            for step in steps:
                nxt = step[2]
                if nxt == goal:
                    found.append(hops + [step])
                elif seen.get(nxt, len(hops) + 1) >= len(hops) + 1 and nxt != start:
                    seen[nxt] = len(hops) + 1
                    frontier.append((nxt, hops + [step]))
        return found[0] if len(found) == 1 else None

    def is_link(self, table: str) -> bool:
        """A table that only links two others, many to many (film_actor):
        two foreign keys and nothing of its own but its key and dates."""
        t = self.tables[table]
        refs = {ref for _, ref, _ in t.fks if ref in self.tables}
        own = [c for c in t.columns if c.name not in t.fk_columns and c.name not in t.pk
               and not c.date]
        return len(t.fks) == 2 and len(refs) == 2 and not own

    def _joins(self, hops: list[tuple]) -> int:
        """How far a join path goes: a hop into a link table and out again
        to the table it links counts once."""
        return len(hops) - sum(1 for h in hops[:-1] if self.is_link(h[2]))

    def through_links(self, hops: list[tuple]) -> bool:
        """Whether every table between the ends of the path is a link
        table: actor to film through film_actor."""
        between = [h[2] for h in hops[:-1]]
        return bool(between) and all(self.is_link(t) for t in between)

    def money_column(self) -> Optional[Column]:
        """The one column of amounts (a total, a payment) when there are no order lines."""
        cols = [c for t in self.tables.values() for c in t.columns
                if c.numeric and not c.integer and set(c.words) & MONEY_COLUMN_WORDS]
        return cols[0] if len(cols) == 1 else None

    def money_table(self) -> str:
        """The table whose rows revenue or spending is summed over."""
        if self.line_items:
            return self.line_items[0]
        col = self.money_column()
        if col is None:
            raise Unmappable("no table holds amounts to sum")
        return col.table

    def _find_roles(self) -> list[Role]:
        """Every foreign key whose name says more than which table it points
        at: its other words are the role.  A key to the table itself is a
        role even when it says nothing more (parent_id is a row's parent)."""
        out = []
        for t in self.tables.values():
            for col, ref, refcol in t.fks:
                if ref not in self.tables:
                    continue
                own = set(self.tables[ref].words) | _KEY_WORDS
                words = tuple(w for w in t.column(col).words if w not in own)
                # productLine to productlines names the table, not a role.
                if words and "".join(words) not in "".join(self.tables[ref].words):
                    out.append(Role(t.name, col, ref, refcol, words))
        return out

    def _find_line_items(self) -> Optional[tuple]:
        """The lines sales are read from, where one table holds lines: those
        of sales (a price) before those of purchases (a cost)."""
        found = self.all_line_items
        if len(found) > 1:
            # Lines of sales carry a price; lines of purchases a cost.
            found = [f for f in found if "price" in f[2].words] or found
        return found[0] if len(found) == 1 else None

    def _line_tables(self) -> list[tuple]:
        """(table, quantity column, price column, order table) of each table
        whose rows are lines of an order: a quantity and a unit price, found
        by their columns, and a foreign key to the order, the referenced
        table that carries a date."""
        found = []
        for t in self.tables.values():
            if not t.fks:
                continue
            qty = [c for c in t.columns if c.numeric and c.name not in t.fk_columns
                   and set(c.words) & QUANTITY_WORDS and not set(c.words) & PRICE_WORDS]
            if len(qty) > 1:
                # "quantityOrdered" beside "orderLineNumber": the quantity is
                # the column that says so.
                qty = [c for c in qty if "quantity" in c.words] or qty
            price = [c for c in t.columns if c.numeric and not c.integer
                     and set(c.words) & PRICE_WORDS]
            heads = [ref for col, ref, _ in t.fks
                     if ref in self.tables and self.tables[ref].dates]
            if len(heads) > 1:
                # order_details beside keys to purchase orders and stock
                # movements: the lines belong to the table their name says.
                named = [h for h in heads if set(self.tables[h].words) <= set(t.words)]
                heads = named if len(named) == 1 else heads
            if len(qty) == 1 and len(price) == 1 and len(heads) == 1:
                found.append((t.name, qty[0], price[0], heads[0]))
        return found
