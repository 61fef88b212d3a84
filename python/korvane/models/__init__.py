"""The records and enumerations: ``korvane.models.lens`` (visual matches),
``.shopping`` (shopping offers), ``.commerce`` (prices, enriched items,
summaries, results) and ``.common`` (enumerations).

Records are the C++ library's own structs: build them with keyword arguments
(fields not given keep their defaults), read and assign fields as attributes,
compare them with ``==``, and convert them with ``model_dump()``,
``model_dump_json()`` and ``model_validate()`` through the library's JSON form.
They can be pickled and copied.
"""
